// Streaming SHA-256 over OpenSSL EVP (SHA-NI / AVX2 where the CPU has them), and the
// digest's text form: 64 lowercase hexadecimal characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "base/error.h"

struct evp_md_ctx_st;

namespace zm::io {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void update(const void* data, size_t n);
  // Finalises and returns the lowercase hex digest; the object is then spent.
  std::string hex_digest();

 private:
  evp_md_ctx_st* ctx_;
};

std::string sha256_hex(std::string_view data);

struct FileDigest {
  std::string sha256;
  uint64_t size_bytes = 0;
};

// Streams a whole file of any size into SHA-256, its reading overlapped with the hashing
// (ReadAhead), in constant memory. A read interrupted by a signal is retried unless the
// thread's Interrupt stops the work (io/file.h).
Result<FileDigest> sha256_stream_file(const std::string& path);

class File;
// The same over an open file, from its current offset to its end. size_bytes counts the
// bytes hashed. Reading stops early once more than `expected_at_most` bytes were hashed
// (the digest then covers only those), so a file that cannot match a known size is not
// read to its end, nor forever (an endless device).
Result<FileDigest> sha256_stream(File& file, uint64_t expected_at_most = std::numeric_limits<uint64_t>::max());

}  // namespace zm::io
