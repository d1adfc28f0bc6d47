// Size-bounded reads: at most limit + 1 bytes are ever read, the file's size is never
// asked. A whole file (the manifest) lands in a buffer that grows with the bytes read;
// auxiliary files and profiles are hashed as they stream through a read-ahead ring under
// the same bound, so their memory stays flat whatever their size. Both give the same
// outcomes for the same bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "io/file.h"
#include "io/sha256.h"

namespace zm::io {

// The file's bytes (opened by path; an open failure is Io and comes before any limit
// check). Memory follows the bytes read: a small first read, then doubling, never more
// than `limit` held. Reason(reason_code, "{label} exceeds {limit} bytes while reading
// {path}") when there is more; Reason(reason_code, "... too large to enforce ...") when
// `limit` is 2^64 - 1; Io for a read error (EINTR: see io/file.h). `path` only names the
// file in messages (display text, U+FFFD for invalid UTF-8).
Result<std::string> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                      std::string_view label);

// SHA-256 and byte count of the same bytes, streamed through io::ReadAhead (whose reads
// stop at limit + 1 bytes); the same outcomes as hashing read_bounded_file's result.
Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label);
Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label);

}  // namespace zm::io
