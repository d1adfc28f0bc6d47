#include "manifest/verify/id_set.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstring>
#include <new>

#include "base/random.h"
#include "base/siphash.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zm {

namespace {

constexpr size_t kMinEntries = 1024;
constexpr size_t kMaxEntries = size_t{1} << 29;  // the index's 29 hash bits address no more
constexpr size_t kReleaseEntries = (size_t{2} << 20) / 8;  // a rebuild frees the old index 2 MiB at a time
static_assert(IdSet::kMaxIds == kMaxEntries / 4 * 3);

// 16 bytes from the system's random source. Without any source the key still differs
// per process and run (clock, addresses), which is the best left to do.
SipKey random_key() {
  unsigned char bytes[16] = {};
  const bool got = fill_random(bytes, sizeof bytes);
  SipKey key;
  std::memcpy(&key.k0, bytes, 8);
  std::memcpy(&key.k1, bytes + 8, 8);
  if (!got) {
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

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

// Per byte of `x` (every byte below 0x80): 0x80 where the byte is at least `lo`.
constexpr uint64_t at_least(uint64_t x, uint8_t lo) { return (x + kOnes * (0x80 - lo)) & kHighs; }
// 0x80 where the byte is above `hi`.
constexpr uint64_t above(uint64_t x, uint8_t hi) { return (x + kOnes * (0x7F - hi)) & kHighs; }

// What the hex digits of a text hold, gathered word by word and judged once: per byte
// 0x80 where it is no hex digit, a lowercase letter, an uppercase letter.
struct HexCase {
  uint64_t not_hex = 0, lower = 0, upper = 0;
  bool valid() const { return not_hex == 0 && (lower == 0 || upper == 0); }
};

// The 4 bytes spelled by the 8 hex digits in `x` (first digit in the lowest byte), in
// memory order in the low 32 bits (any value when a byte is no hex digit; a byte of 0x80
// or more may disturb its neighbours' results, but the text is refused anyway).
inline uint64_t hex8(uint64_t x, HexCase& c) {
  const uint64_t ascii = ~x & kHighs;
  const uint64_t digit = at_least(x, '0') & ~above(x, '9');
  const uint64_t folded = x | (kOnes * 0x20);
  const uint64_t letter = at_least(folded, 'a') & ~above(folded, 'f');
  c.not_hex |= ~(ascii & (digit | letter)) & kHighs;
  const uint64_t lower_bit = (x << 2) & kHighs;  // bit 5 of each byte: set in a-f, clear in A-F
  c.lower |= letter & lower_bit;
  c.upper |= letter & ~lower_bit;
  uint64_t v = (x & (kOnes * 0x0F)) + (letter >> 7) * 9;  // each byte's digit value
  v = ((v << 4) | (v >> 8)) & 0x00FF00FF00FF00FFULL;       // pairs into bytes 0, 2, 4, 6
  v = (v | (v >> 8)) & 0x0000FFFF0000FFFFULL;
  return (v | (v >> 16)) & 0xFFFFFFFFULL;
}

inline uint64_t load8(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return std::endian::native == std::endian::little ? v : __builtin_bswap64(v);
}
inline uint64_t load4(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return std::endian::native == std::endian::little ? v : __builtin_bswap32(v);
}
// Two 32-bit halves (low bytes first) as the 8 bytes they are in memory.
inline uint64_t join(uint64_t low, uint64_t high) {
  const uint64_t v = low | (high << 32);
  return std::endian::native == std::endian::little ? v : __builtin_bswap64(v);
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
  HexCase hex;
  if (dashed && (p[8] != '-' || p[13] != '-' || p[18] != '-' || p[23] != '-')) return 0;
#if defined(__SSE2__)
  // The 32 digits side by side, then sixteen at a time: classified, valued, and each pair
  // joined into its byte.
  char digits[32];
  if (dashed) {
    std::memcpy(digits, p, 8);
    std::memcpy(digits + 8, p + 9, 4);
    std::memcpy(digits + 12, p + 14, 4);
    std::memcpy(digits + 16, p + 19, 4);
    std::memcpy(digits + 20, p + 24, 12);
  } else {
    std::memcpy(digits, p, 32);
  }
  __m128i halves[2];
  for (int h = 0; h < 2; ++h) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(digits + 16 * h));
    // Signed compares: a byte of 0x80 or more is below every range.
    auto in_range = [&x](char lo, char hi) {
      return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(lo - 1))),
                           _mm_cmplt_epi8(x, _mm_set1_epi8(static_cast<char>(hi + 1))));
    };
    const __m128i digit = in_range('0', '9'), lower = in_range('a', 'f'), upper = in_range('A', 'F');
    const __m128i letter = _mm_or_si128(lower, upper);
    hex.not_hex |= static_cast<uint16_t>(~_mm_movemask_epi8(_mm_or_si128(digit, letter)));
    hex.lower |= static_cast<unsigned>(_mm_movemask_epi8(lower));
    hex.upper |= static_cast<unsigned>(_mm_movemask_epi8(upper));
    const __m128i value =
        _mm_add_epi8(_mm_and_si128(x, _mm_set1_epi8(0x0F)), _mm_and_si128(letter, _mm_set1_epi8(9)));
    // In each 16-bit lane the first digit is the low byte (little-endian): the high nibble.
    const __m128i high_nibble = _mm_slli_epi16(_mm_and_si128(value, _mm_set1_epi16(0x00FF)), 4);
    halves[h] = _mm_or_si128(high_nibble, _mm_srli_epi16(value, 8));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(halves[0], halves[1]));
#else
  if (dashed) {
    out[0] = join(hex8(load8(p), hex), hex8(load4(p + 9) | (load4(p + 14) << 32), hex));
    out[1] = join(hex8(load4(p + 19) | (load4(p + 24) << 32), hex), hex8(load8(p + 28), hex));
  } else {
    out[0] = join(hex8(load8(p), hex), hex8(load8(p + 8), hex));
    out[1] = join(hex8(load8(p + 16), hex), hex8(load8(p + 24), hex));
  }
#endif
  if (!hex.valid()) return 0;
  if (hex.upper != 0) {
    if (form == kUrnLower) return 0;
    ++form;
  }
  return form;
}

// Anonymous zeroed memory: pages cost nothing until written, and large indexes ask for
// transparent huge pages to keep random probes from missing the TLB. Null when the
// system refuses the mapping.
void* try_map_zeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (bytes >= (size_t{2} << 20)) ::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

void* map_zeroed(size_t bytes) {
  void* p = try_map_zeroed(bytes);
  if (p == nullptr) throw std::bad_alloc();
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

bool IdSet::stores_as_uuid(std::string_view id) {
  uint64_t bytes[2];
  return encode_uuid(id, bytes) != 0;
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

void IdSet::reserve(uint64_t ids) {
  if (count_ != 0) return;
  ids = std::min(ids, kMaxIds);
  // Two thirds full at `ids`: probe runs stay short while the index costs 12 bytes per id.
  const uint64_t wanted = (ids / 2 * 3 + 4095) & ~uint64_t{4095};
  if (wanted <= entry_count_ || wanted <= kMinEntries) return;
  const size_t count = static_cast<size_t>(std::min<uint64_t>(wanted, kMaxEntries));
  // Refused (a large hint on a small machine): the set grows with the ids instead.
  void* mapped = try_map_zeroed(count * sizeof(Entry));
  if (mapped == nullptr) return;
  if (entries_ != nullptr) ::munmap(entries_, entry_count_ * sizeof(Entry));
  entries_ = static_cast<Entry*>(mapped);
  entry_count_ = count;
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
