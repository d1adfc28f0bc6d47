// The set of db_id values seen in one row map, bounded by a budget on the ids' bytes.
//
// Every id gets one 16-byte record in a dense array of fixed blocks (no per-id heap node,
// never copied while growing). A UUID written in one of the four usual forms with its hex
// digits all lowercase or all uppercase is stored as its 16 bytes, the form and case
// going into the index entry: the text can be rebuilt exactly from both, so two ids are
// equal exactly when their encodings are. Any other id is kept as written in a byte
// arena and its record points there. An open-addressing index of 8-byte entries finds
// the records. It may be sized once up front (reserve) for the ids a caller expects;
// beyond that it grows by steps of at most 1.5x with the ids inserted, and a rebuild
// releases the old index as it goes, so memory follows the ids actually read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zm {

class IdSet {
 public:
  enum class Insert { Added, Duplicate, OverBudget };

  // At most this many ids; an insert beyond it reports OverBudget.
  static constexpr uint64_t kMaxIds = uint64_t{3} << 27;

  // An id prepared for lookup: its encoding and keyed hash (SipHash-1-3 with a random
  // key drawn once per process, so no set of ids chosen in advance can share a probe run).
  struct Key {
    std::string_view text;   // the id as written; what the key was made from
    uint32_t tag = 0;        // hash bits 31..3, the form in bits 2..0 (0: kept as written)
    uint64_t uuid[2];        // the UUID's 16 bytes in order when the form is not 0
    uint8_t form() const { return static_cast<uint8_t>(tag & 7); }
  };

  IdSet() = default;
  IdSet(const IdSet&) = delete;
  IdSet& operator=(const IdSet&) = delete;
  ~IdSet();

  // Sizes the index for `ids` ids at once (capped at kMaxIds), so that reading that many
  // rebuilds nothing. A hint only: the set still grows past it. Callers bound it by what
  // their input can hold, since untouched entries cost no memory but touched ones do.
  void reserve(uint64_t ids);

  // The key of `id`; `text` keeps pointing at `id`'s bytes.
  static Key key(std::string_view id);

  // True when `id` is a UUID the set would store as its bytes: one of the four usual forms
  // with all its letters in one case. Such an id passes every db_id string rule.
  static bool stores_as_uuid(std::string_view id);

  // Starts fetching the index entry where `k` would be found into the cache.
  void prefetch(const Key& k) const { prefetch(k.tag); }
  // The same from the key's tag alone.
  void prefetch(uint32_t tag) const;

  // Duplicate when the id is already present (exact bytes). Otherwise OverBudget, leaving
  // the set unchanged, when tracked_bytes() + its length would exceed `byte_budget` (or
  // the set already holds kMaxIds ids); otherwise the id is stored and Added returned.
  Insert insert(const Key& k, uint64_t byte_budget);
  Insert insert(std::string_view id, uint64_t byte_budget) { return insert(key(id), byte_budget); }

  bool contains(std::string_view id) const;
  uint64_t size() const { return count_; }
  // The sum of the lengths of the ids as written, whatever their storage.
  uint64_t tracked_bytes() const { return tracked_bytes_; }

 private:
  // ref == 0 marks a free entry; otherwise record number ref - 1.
  struct Entry {
    uint32_t tag;
    uint32_t ref;
  };
  // The 16 bytes of a compact UUID, or where a kept id lies in the arena.
  struct Record {
    unsigned char bytes[16];
  };
  static constexpr size_t kBlockShift = 16;  // 65,536 records (1 MiB) per block

  Record& record(uint64_t index) const {
    return blocks_[index >> kBlockShift][index & ((size_t{1} << kBlockShift) - 1)];
  }
  size_t home(uint32_t tag) const {
    return static_cast<size_t>((static_cast<uint64_t>(tag >> 3) * entry_count_) >> 29);
  }
  bool matches(const Entry& e, const Key& k) const;
  size_t probe(const Key& k, bool& found) const;
  void grow();

  Entry* entries_ = nullptr;  // anonymous zero-filled mapping of entry_count_ entries
  size_t entry_count_ = 0;
  uint64_t count_ = 0;
  uint64_t tracked_bytes_ = 0;
  std::vector<std::unique_ptr<Record[]>> blocks_;
  std::string arena_;  // ids not stored as UUID bytes, back to back
};

}  // namespace zm
