#include "io/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>

#include <cstdlib>

#include "io/file.h"
#include "io/read_ahead.h"

namespace zm::io {

namespace {

std::string to_hex(const unsigned char* bytes, size_t n) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out(n * 2, '\0');
  for (size_t i = 0; i < n; ++i) {
    out[2 * i] = kDigits[bytes[i] >> 4];
    out[2 * i + 1] = kDigits[bytes[i] & 0x0f];
  }
  return out;
}
}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  // Allocation failure of the context is treated like any other out-of-memory: fatal.
  if (ctx_ == nullptr || EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr) != 1) std::abort();
}

Sha256::~Sha256() {
  EVP_MD_CTX_free(ctx_);
}

void Sha256::update(const void* data, size_t n) {
  if (n != 0) EVP_DigestUpdate(ctx_, data, n);
}

std::string Sha256::hex_digest() {
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  EVP_DigestFinal_ex(ctx_, md, &len);
  return to_hex(md, len);
}

std::string sha256_hex(std::string_view data) {
  Sha256 h;
  h.update(data.data(), data.size());
  return h.hex_digest();
}

Result<FileDigest> sha256_stream(File& file, uint64_t expected_at_most) {
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  ReadAhead reader(file);
  Sha256 h;
  uint64_t total = 0;
  for (;;) {
    auto chunk = reader.next();
    if (!chunk) return fail(chunk.error());
    if (chunk->empty()) break;
    h.update(chunk->data(), chunk->size());
    total += chunk->size();
    if (total > expected_at_most) break;
  }
  return FileDigest{h.hex_digest(), total};
}

Result<FileDigest> sha256_stream_file(const std::string& path) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  return sha256_stream(*file);
}

}  // namespace zm::io
