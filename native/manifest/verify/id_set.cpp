#include "manifest/verify/id_set.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "base/siphash.h"

namespace zm {

namespace {

constexpr uint32_t kMaxIds = 0xFFFFFFFEu;
constexpr size_t kMinSlots = 1024;

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

// Anonymous zeroed memory: pages cost nothing until written, and large tables ask for
// transparent huge pages to keep random probes from missing the TLB.
void* map_zeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (bytes >= (size_t{2} << 20)) ::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

}  // namespace

IdSet::~IdSet() {
  if (slots_ != nullptr) ::munmap(slots_, slot_count_ * sizeof(Slot));
}

// Keyed SipHash-1-3, as the hash tables of CPython and Rust: without the process's key,
// no choice of ids made in advance can pile them into one probe run.
uint64_t IdSet::hash(std::string_view id) { return siphash<1, 3>(process_key(), id.data(), id.size()); }

void IdSet::prefetch(uint64_t h) const {
  if (slots_ != nullptr) __builtin_prefetch(&slots_[static_cast<uint32_t>(h) & (slot_count_ - 1)]);
}

size_t IdSet::probe(std::string_view id, uint32_t h, bool& found) const {
  const size_t mask = slot_count_ - 1;
  size_t i = h & mask;
  while (true) {
    const Slot& s = slots_[i];
    if (s.ordinal == 0) {
      found = false;
      return i;
    }
    if (s.hash == h && id_at(s.ordinal - 1) == id) {
      found = true;
      return i;
    }
    i = (i + 1) & mask;
  }
}

void IdSet::rebuild(size_t slot_count) {
  Slot* fresh = static_cast<Slot*>(map_zeroed(slot_count * sizeof(Slot)));
  const size_t mask = slot_count - 1;
  for (size_t k = 0; k < slot_count_; ++k) {
    const Slot& s = slots_[k];
    if (s.ordinal == 0) continue;
    size_t i = s.hash & mask;
    while (fresh[i].ordinal != 0) i = (i + 1) & mask;
    fresh[i] = s;
  }
  if (slots_ != nullptr) ::munmap(slots_, slot_count_ * sizeof(Slot));
  slots_ = fresh;
  slot_count_ = slot_count;
}

IdSet::Insert IdSet::insert(std::string_view id, uint64_t byte_budget) {
  return insert_hashed(id, hash(id), byte_budget);
}

IdSet::Insert IdSet::insert_hashed(std::string_view id, uint64_t h64, uint64_t byte_budget) {
  const uint64_t count = size();
  if (slot_count_ == 0 || (count + 1) * 4 > slot_count_ * 3) rebuild(slot_count_ == 0 ? kMinSlots : slot_count_ * 2);
  const uint32_t h = static_cast<uint32_t>(h64);
  bool found = false;
  size_t i = probe(id, h, found);
  if (found) return Insert::Duplicate;
  if (count >= kMaxIds || id.size() > byte_budget || arena_.size() > byte_budget - id.size()) {
    return Insert::OverBudget;
  }
  if (starts_.empty()) starts_.push_back(0);
  arena_.append(id);
  starts_.push_back(arena_.size());
  slots_[i] = Slot{h, static_cast<uint32_t>(count + 1)};
  return Insert::Added;
}

bool IdSet::contains(std::string_view id) const {
  if (slots_ == nullptr) return false;
  bool found = false;
  probe(id, static_cast<uint32_t>(hash(id)), found);
  return found;
}

}  // namespace zm
