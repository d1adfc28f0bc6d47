#include "manifest/verify/id_set.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "base/siphash.h"

namespace zm {

namespace {

constexpr size_t kMinEntries = 1024;
constexpr size_t kMaxEntries = size_t{1} << 29;  // the index's 29 hash bits address no more
constexpr size_t kReleaseEntries = (size_t{2} << 20) / 8;  // a rebuild frees the old index 2 MiB at a time
static_assert(IdSet::kMaxIds == kMaxEntries / 4 * 3);

// 16 bytes from the system's random source; EINTR is retried. Without any source the key
// still differs per process and run (clock, addresses), which is the best left to do.
SipKey random_key() {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t r = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  if (got < sizeof bytes) {
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd >= 0 && got < sizeof bytes) {
      const ssize_t r = ::read(fd, bytes + got, sizeof bytes - got);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    if (fd >= 0) ::close(fd);
  }
  SipKey key;
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  if (got < sizeof bytes) {
    key.k0 ^= static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    key.k1 ^= reinterpret_cast<uintptr_t>(&got) ^ (static_cast<uint64_t>(::getpid()) << 32);
  }
  return key;
}

// One key per process, drawn on first use (a function-local static: initialised once
// even when several threads validate row maps at the same time).
const SipKey& process_key() {
  static const SipKey key = random_key();
  return key;
}

// Per byte: the hex digit's value in bits 0-3, kLower / kUpper for the letters a-f / A-F,
// kNotHex for every byte that is no hex digit.
constexpr uint8_t kLower = 0x10, kUpper = 0x20, kNotHex = 0x40;
constexpr auto kHexInfo = [] {
  std::array<uint8_t, 256> t{};
  t.fill(kNotHex);
  for (int c = '0'; c <= '9'; ++c) t[c] = static_cast<uint8_t>(c - '0');
  for (int c = 'a'; c <= 'f'; ++c) t[c] = static_cast<uint8_t>(c - 'a' + 10) | kLower;
  for (int c = 'A'; c <= 'F'; ++c) t[c] = static_cast<uint8_t>(c - 'A' + 10) | kUpper;
  return t;
}();

// Appends the N hex digits at `p` to `v` (4 bits each), gathering the digits' flags.
template <int N>
inline uint64_t hex_digits(const char* p, uint64_t v, uint8_t& flags) {
  for (int i = 0; i < N; ++i) {
    const uint8_t x = kHexInfo[static_cast<unsigned char>(p[i])];
    flags |= x;
    v = (v << 4) | (x & 0xF);
  }
  return v;
}

// The 8 bytes whose big-endian value is `v`, as they lie in memory, loaded little-endian.
inline uint64_t memory_order(uint64_t v) {
  return std::endian::native == std::endian::little ? __builtin_bswap64(v) : v;
}

// Forms 1-7: 32 digits, 8-4-4-4-12, that in braces (each lowercase, then uppercase), and
// "urn:uuid:" with lowercase digits. All-digit hex counts as lowercase, so every text has
// at most one form and the form with the 16 bytes gives back the text exactly.
constexpr uint8_t kHex32 = 1, kDashed = 3, kBraced = 5, kUrnLower = 7;

// The form of `s` and its 16 bytes, or 0 when `s` is kept as written.
uint8_t encode_uuid(std::string_view s, uint64_t out[2]) {
  const char* p = s.data();
  bool dashed = true;
  uint8_t form = 0;
  switch (s.size()) {
    case 32:
      form = kHex32;
      dashed = false;
      break;
    case 36:
      form = kDashed;
      break;
    case 38:
      if (p[0] != '{' || p[37] != '}') return 0;
      form = kBraced;
      ++p;
      break;
    case 45:
      if (std::memcmp(p, "urn:uuid:", 9) != 0) return 0;
      form = kUrnLower;
      p += 9;
      break;
    default:
      return 0;
  }
  uint8_t flags = 0;
  if (dashed) {
    if (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-') return 0;
    out[0] = memory_order(hex_digits<4>(p + 14, hex_digits<4>(p + 9, hex_digits<8>(p, 0, flags), flags), flags));
    out[1] = memory_order(hex_digits<12>(p + 24, hex_digits<4>(p + 19, 0, flags), flags));
  } else {
    out[0] = memory_order(hex_digits<16>(p, 0, flags));
    out[1] = memory_order(hex_digits<16>(p + 16, 0, flags));
  }
  if ((flags & kNotHex) != 0 || (flags & (kLower | kUpper)) == (kLower | kUpper)) return 0;
  if ((flags & kUpper) != 0) {
    if (form == kUrnLower) return 0;
    ++form;
  }
  return form;
}

// Anonymous zeroed memory: pages cost nothing until written, and large indexes ask for
// transparent huge pages to keep random probes from missing the TLB.
void* map_zeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (bytes >= (size_t{2} << 20)) ::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

}  // namespace

IdSet::~IdSet() {
  if (entries_ != nullptr) ::munmap(entries_, entry_count_ * sizeof(Entry));
}

IdSet::Key IdSet::key(std::string_view id) {
  Key k;
  k.text = id;
  const uint8_t form = encode_uuid(id, k.uuid);
  uint64_t h;
  if (form != 0) {
    // The 17-byte message: the UUID's bytes, then the form.
    SipHasher<1, 3> hasher(process_key());
    hasher.block(std::endian::native == std::endian::little ? k.uuid[0] : __builtin_bswap64(k.uuid[0]));
    hasher.block(std::endian::native == std::endian::little ? k.uuid[1] : __builtin_bswap64(k.uuid[1]));
    h = hasher.finish((uint64_t{17} << 56) | form);
  } else {
    h = siphash<1, 3>(process_key(), id.data(), id.size());
  }
  k.tag = (static_cast<uint32_t>(h) & ~uint32_t{7}) | form;
  return k;
}

void IdSet::prefetch(const Key& k) const {
  if (entries_ != nullptr) __builtin_prefetch(&entries_[home(k.tag)]);
}

bool IdSet::matches(const Entry& e, const Key& k) const {
  if (e.tag != k.tag) return false;
  const Record& r = record(e.ref - 1);
  if (k.form() != 0) return std::memcmp(r.bytes, k.uuid, 16) == 0;
  uint64_t offset, length;
  std::memcpy(&offset, r.bytes, 8);
  std::memcpy(&length, r.bytes + 8, 8);
  return length == k.text.size() && std::memcmp(arena_.data() + offset, k.text.data(), length) == 0;
}

size_t IdSet::probe(const Key& k, bool& found) const {
  size_t i = home(k.tag);
  while (true) {
    const Entry& e = entries_[i];
    if (e.ref == 0 || matches(e, k)) {
      found = e.ref != 0;
      return i;
    }
    if (++i == entry_count_) i = 0;
  }
}

// The next size (1.5x from a power of two, 4/3x back to one), entries moved in index
// order, each freed stretch of the old index returned to the system at once: the peak is
// the new index, not old plus new.
void IdSet::grow() {
  const size_t old_count = entry_count_;
  Entry* old = entries_;
  const size_t next = old_count == 0 ? kMinEntries : (old_count & (old_count - 1)) == 0 ? old_count / 2 * 3
                                                                                          : old_count / 3 * 4;
  entries_ = static_cast<Entry*>(map_zeroed(next * sizeof(Entry)));
  entry_count_ = next;
  size_t released = 0;
  for (size_t j = 0; j < old_count; ++j) {
    const Entry e = old[j];
    if (e.ref != 0) {
      size_t i = home(e.tag);
      while (entries_[i].ref != 0) {
        if (++i == entry_count_) i = 0;
      }
      entries_[i] = e;
    }
    if (j + 1 - released == kReleaseEntries && j + 1 < old_count) {
      ::munmap(old + released, kReleaseEntries * sizeof(Entry));
      released = j + 1;
    }
  }
  if (old != nullptr) ::munmap(old + released, (old_count - released) * sizeof(Entry));
}

IdSet::Insert IdSet::insert(const Key& k, uint64_t byte_budget) {
  if ((count_ + 1) * 4 > entry_count_ * 3 && entry_count_ < kMaxEntries) grow();
  bool found = false;
  const size_t i = probe(k, found);
  if (found) return Insert::Duplicate;
  const uint64_t length = k.text.size();
  if (count_ >= kMaxIds || length > byte_budget || tracked_bytes_ > byte_budget - length) return Insert::OverBudget;
  if ((count_ >> kBlockShift) == blocks_.size()) {
    blocks_.push_back(std::make_unique_for_overwrite<Record[]>(size_t{1} << kBlockShift));
  }
  Record& r = record(count_);
  if (k.form() != 0) {
    std::memcpy(r.bytes, k.uuid, 16);
  } else {
    const uint64_t offset = arena_.size();
    arena_.append(k.text);
    std::memcpy(r.bytes, &offset, 8);
    std::memcpy(r.bytes + 8, &length, 8);
  }
  ++count_;
  tracked_bytes_ += length;
  entries_[i] = Entry{k.tag, static_cast<uint32_t>(count_)};
  return Insert::Added;
}

bool IdSet::contains(std::string_view id) const {
  if (entries_ == nullptr) return false;
  bool found = false;
  probe(key(id), found);
  return found;
}

}  // namespace zm
