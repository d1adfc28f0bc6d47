// The set of db_id values seen in one row map: every id stored once in a single byte
// arena, found through an open-addressing index of 8-byte slots (no per-id heap node),
// bounded by a budget on the arena's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zm {

class IdSet {
 public:
  enum class Insert { Added, Duplicate, OverBudget };

  IdSet() = default;
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;
  ~IdSet();

  // Duplicate when `id` is already present (exact bytes). Otherwise OverBudget, leaving
  // the set unchanged, when tracked_bytes() + id.size() would exceed `byte_budget` (or
  // the set already holds 2^32 - 2 ids, the index's capacity); otherwise the id is
  // stored and Added is returned.
  Insert insert(std::string_view id, uint64_t byte_budget);

  bool contains(std::string_view id) const;
  uint64_t size() const { return starts_.empty() ? 0 : starts_.size() - 1; }
  uint64_t tracked_bytes() const { return arena_.size(); }

  // Starts fetching the index slot of an id with hash `h` into the cache.
  void prefetch(uint64_t h) const;
  static uint64_t hash(std::string_view id);
  Insert insert_hashed(std::string_view id, uint64_t h, uint64_t byte_budget);

 private:
  // ordinal == 0 marks a free slot; otherwise id number ordinal - 1. The low 32 bits of
  // the hash pick the slot and settle almost every mismatch without touching the arena.
  struct Slot {
    uint32_t hash;
    uint32_t ordinal;
  };

  std::string_view id_at(uint32_t index) const {
    return std::string_view(arena_.data() + starts_[index], starts_[index + 1] - starts_[index]);
  }
  size_t probe(std::string_view id, uint32_t h, bool& found) const;
  void rebuild(size_t slot_count);

  Slot* slots_ = nullptr;  // zero-filled anonymous mapping of slot_count_ slots
  size_t slot_count_ = 0;
  std::string arena_;
  std::vector<uint64_t> starts_;  // id k spans arena_[starts_[k], starts_[k + 1])
};

}  // namespace zm
