#include "manifest/verify/id_set.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace zm {

namespace {

constexpr uint32_t kMaxIds = 0xFFFFFFFEu;
constexpr size_t kMinSlots = 1024;
constexpr size_t kArenaReserveCap = size_t{1} << 30;

inline uint64_t mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

// Anonymous zeroed memory: pages cost nothing until written, and large tables ask for
// transparent huge pages to keep random probes from missing the TLB.
void* map_zeroed(size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  if (bytes >= (size_t{2} << 20)) ::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

// Slots for `ids` ids at a load factor of at most 3/4, a power of two.
size_t slots_for(uint64_t ids) {
  size_t n = kMinSlots;
  while (static_cast<uint64_t>(n) / 4 * 3 < ids) n *= 2;
  return n;
}

}  // namespace

IdSet::~IdSet() {
  if (slots_ != nullptr) ::munmap(slots_, slot_count_ * sizeof(Slot));
}

uint64_t IdSet::hash(std::string_view id) {
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ id.size();
  const char* p = id.data();
  size_t n = id.size();
  while (n >= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0x9FB21C651E98DF25ULL;
    h ^= h >> 29;
    p += 8;
    n -= 8;
  }
  uint64_t tail = 0;
  std::memcpy(&tail, p, n);
  return mix(h ^ (tail * 0xC2B2AE3D27D4EB4FULL));
}

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

void IdSet::reserve(uint64_t ids, uint64_t bytes) {
  ids = std::min<uint64_t>(ids, kMaxIds);
  if (slots_for(ids) > slot_count_) rebuild(slots_for(ids));
  starts_.reserve(static_cast<size_t>(std::min<uint64_t>(ids + 1, kArenaReserveCap / sizeof(uint64_t))));
  arena_.reserve(static_cast<size_t>(std::min<uint64_t>(bytes, kArenaReserveCap)));
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
