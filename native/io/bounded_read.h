// Size-bounded whole-file reads: at most limit + 1 bytes are ever read, the file's size
// is never asked, and memory follows the bytes actually read.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "io/sha256.h"
#include "manifest/error.h"

namespace zm::io {

// Returns the file's bytes, or Io (open/read failure), or Reason(reason_code, ...) when
// the file holds more than `limit` bytes or `limit` is 2^64 - 1.
Result<std::string> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                      std::string_view label);

Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label);

}  // namespace zm::io
