// libFuzzer harness for manifest loading: the input is the whole manifest file (an in-memory file reached through
// /proc/self/fd), and its first byte picks the size limit. Loading must agree with parsing the same bytes, and enforce
// the limit exactly.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest/load.h"
#include "manifest/schema/codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint64_t limit = data[0] == 0xff ? UINT64_MAX : static_cast<uint64_t>(data[0]) * 64;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  int fd = memfd_create("zm_fuzz_load", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    ::close(fd);
    return 0;
  }
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  auto doc = zm::load_manifest_file_with_options(path, limit);
  ::close(fd);
  if (limit == UINT64_MAX || text.size() > limit) {
    if (doc || doc.error().kind() != zm::ManifestError::Kind::Reason || doc.error().code() != "manifest_file_too_large")
      std::abort();
    return 0;
  }
  auto parsed = zm::parse_manifest(text);
  if (doc.has_value() != parsed.has_value()) std::abort();
  if (!doc) {
    if (doc.error().display() != parsed.error().display()) std::abort();
    return 0;
  }
  if (doc->base_dir != "/proc/self/fd" || doc->manifest_path != path) std::abort();
  if (zm::write_manifest_compact(doc->manifest) != zm::write_manifest_compact(*parsed)) std::abort();
  return 0;
}
