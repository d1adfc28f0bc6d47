#include "manifest/verify/row_batch.h"

#include <cstring>
#include <limits>

#include "manifest/verify/id_set.h"
#include "manifest/verify/row_line.h"

namespace zm {

RowPreparer::RowPreparer(uint64_t line_limit, bool keys, size_t slots)
    : line_limit_(line_limit == 0 ? 1 : line_limit), keys_(keys), batches_(new LineBatch[slots]) {}

void RowPreparer::prepare_line(const char* buffer, size_t start, size_t length, bool keys, PreparedLine& out) const {
  out.start = start;
  out.keyed = false;
  if (length + 1 > line_limit_) {
    out.kind = PreparedLine::Kind::TooLong;
    return;
  }
  std::string_view line(buffer + start, length);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  out.length = line.size();
  RowLineView row;
  if (line.size() > std::numeric_limits<uint32_t>::max() || !decode_row_line_fast(line, row)) {
    out.kind = PreparedLine::Kind::Strict;
    return;
  }
  out.kind = PreparedLine::Kind::Fast;
  out.row_id = row.row_id;
  out.db_offset = static_cast<uint32_t>(row.db_id.data() - line.data());
  out.db_length = static_cast<uint32_t>(row.db_id.size());
  out.has_parent = row.has_parent;
  if (row.has_parent) {
    out.parent_offset = static_cast<uint32_t>(row.parent_id.data() - line.data());
    out.parent_length = static_cast<uint32_t>(row.parent_id.size());
  }
  if (keys) {
    const IdSet::Key key = IdSet::key(row.db_id);
    out.tag = key.tag;
    std::memcpy(out.uuid, key.uuid, sizeof out.uuid);
    out.keyed = true;
  }
}

void RowPreparer::prepare_lines(std::string_view chunk, size_t pos, bool keys, LineBatch& out) const {
  const char* buf = chunk.data();
  const size_t n = chunk.size();
  out.count = 0;
  out.more = false;
  while (pos < n) {
    const char* nl = static_cast<const char*>(std::memchr(buf + pos, '\n', n - pos));
    if (nl == nullptr) break;
    if (out.count == LineBatch::kCapacity) {
      out.more = true;
      break;
    }
    const size_t length = static_cast<size_t>(nl - buf) - pos;
    prepare_line(buf, pos, length, keys, out.lines[out.count++]);
    pos += length + 1;
  }
  out.end = pos;
}

void RowPreparer::prepare(size_t slot, std::string_view chunk, size_t backlog) {
  LineBatch& out = batches_[slot];
  size_t pos = 0;
  if (!at_line_start_) {
    const void* nl = std::memchr(chunk.data(), '\n', chunk.size());
    pos = nl == nullptr ? chunk.size() : static_cast<size_t>(static_cast<const char*>(nl) - chunk.data()) + 1;
  }
  prepare_lines(chunk, pos, keys_ && backlog >= kKeyBacklog, out);
  at_line_start_ = !chunk.empty() && chunk.back() == '\n';
}

}  // namespace zm
