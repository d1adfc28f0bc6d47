#include "io/sha256.h"

#include <fcntl.h>
#include <openssl/evp.h>

#include <cstdlib>
#include <memory>

#include "io/file.h"

namespace zm::io {

namespace {
constexpr size_t kStreamBuffer = 65536;

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

Result<FileDigest> sha256_stream_file(const std::string& path) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  ::posix_fadvise(file->fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buf(new char[kStreamBuffer]);
  Sha256 h;
  uint64_t total = 0;
  for (;;) {
    auto got = file->read_some(buf.get(), kStreamBuffer);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    h.update(buf.get(), *got);
    total += *got;
  }
  return FileDigest{h.hex_digest(), total};
}

}  // namespace zm::io
