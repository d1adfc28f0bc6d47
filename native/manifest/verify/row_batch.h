// Row-map lines split out of a chunk and decoded ahead of the in-order checks. This part
// of the per-line work needs nothing from earlier lines, so it may run on the file's
// reading thread while the checking thread is still busy with earlier chunks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "io/chunk_source.h"

namespace zm {

// One complete line. Offsets count from the start of the buffer the line was found in;
// positions inside the line fit 32 bits because fast-decoded lines are never longer.
struct PreparedLine {
  enum class Kind : uint8_t { TooLong, Strict, Fast };
  uint64_t row_id;         // Fast
  uint64_t uuid[2];        // when keyed: the db_id's key (IdSet::Key without its text)
  uint64_t start;          // the line, its line feed and a final carriage return left out
  uint64_t length;
  uint32_t tag;            // when keyed
  uint32_t db_offset, db_length;          // Fast: inside the line
  uint32_t parent_offset, parent_length;  // Fast with has_parent
  Kind kind;
  bool has_parent;  // Fast: "parent_id" is a string
  bool keyed;

  std::string_view text(const char* base) const { return {base + start, length}; }
  std::string_view db_id(const char* base) const { return {base + start + db_offset, db_length}; }
  std::string_view parent_id(const char* base) const { return {base + start + parent_offset, parent_length}; }
};

// The complete lines of one chunk from a given position on, at most kCapacity of them.
struct LineBatch {
  static constexpr size_t kCapacity = 1024;
  size_t count = 0;
  size_t end = 0;     // just past the line feed of the last line taken
  bool more = false;  // complete lines follow `end` that did not fit
  std::array<PreparedLine, kCapacity> lines;
};

class RowPreparer final : public io::ChunkPreparer {
 public:
  // Once this many chunks wait for the checking thread (half the reader's ring), the
  // reading thread also makes the ids' keys, the costliest part of a line that needs no
  // earlier line; otherwise the checking thread makes them, so neither thread idles long.
  static constexpr size_t kKeyBacklog = 8;

  // `line_limit`: a line's bytes with its line feed at most (at least 1). `keys`: whether
  // the ids' keys are wanted at all. `slots`: how many chunks may be prepared at once.
  RowPreparer(uint64_t line_limit, bool keys, size_t slots);

  // Takes the complete lines of the chunk that begin in it (the bytes up to the first line
  // feed continue an earlier line unless the previous chunk ended with one).
  void prepare(size_t slot, std::string_view chunk, size_t backlog) override;
  LineBatch& batch(size_t slot) { return batches_[slot]; }

  // The complete lines of `chunk` from `pos` on into `out` (keys made when `keys`).
  void prepare_lines(std::string_view chunk, size_t pos, bool keys, LineBatch& out) const;
  // One line (`length` bytes at `start` in `buffer`, line feed excluded); over the line
  // limit it is only marked too long.
  void prepare_line(const char* buffer, size_t start, size_t length, bool keys, PreparedLine& out) const;

 private:
  uint64_t line_limit_;
  bool keys_;
  bool at_line_start_ = true;
  std::unique_ptr<LineBatch[]> batches_;
};

}  // namespace zm
