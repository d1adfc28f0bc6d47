// A stream of one file's bytes in order, cut into chunks, with the SHA-256 of every byte
// it handed out. Consumers must accept chunks of any non-zero size.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"

namespace zm::io {

class ChunkSource {
 public:
  virtual ~ChunkSource() = default;
  // The next chunk, valid until the following call; an empty chunk at the end. An error
  // ends the stream.
  virtual Result<std::string_view> next() = 0;
  // After next() returned the empty chunk: the digest of every byte.
  virtual std::string hex_digest() = 0;
};

}  // namespace zm::io
