// A stream of one file's bytes in order, cut into chunks, with the SHA-256 of every byte
// it handed out. Consumers must accept chunks of any non-zero size.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.h"

namespace zm::io {

// Per-chunk work a consumer lets a source run ahead of it, on the source's reading thread.
// Its results for a chunk live in a slot that the source keeps for that chunk until the
// consumer has moved past it.
class ChunkPreparer {
 public:
  virtual ~ChunkPreparer() = default;
  // Runs once per chunk, in file order, before the chunk is handed out. `backlog`: how
  // many chunks already wait for the consumer (a measure of how far behind it is).
  virtual void prepare(size_t slot, std::string_view chunk, size_t backlog) = 0;
};

class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // The next chunk, valid until the following call; an empty chunk at the end. An error
  // ends the stream.
  virtual Result<std::string_view> next() = 0;
  // After next() returned the empty chunk: the digest of every byte.
  virtual std::string hex_digest() = 0;
  // The slot a preparer filled for the chunk next() last handed out; nullopt when this
  // source runs no preparer (the consumer then prepares each chunk itself).
  virtual std::optional<size_t> prepared_slot() const { return std::nullopt; }
};

}  // namespace zm::io
