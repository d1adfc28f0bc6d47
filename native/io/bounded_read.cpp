#include "io/bounded_read.h"

#include <algorithm>
#include <limits>

#include <fmt/format.h>

#include "io/file.h"
#include "text/utf8.h"

namespace zm::io {

namespace {
constexpr uint64_t kFirstRead = 8192;
}

Result<std::string> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                      std::string_view label) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  if (limit == std::numeric_limits<uint64_t>::max()) {
    return fail(ManifestError::reason(
        std::string(reason_code), fmt::format("{} byte limit {} is too large to enforce while reading {}", label, limit,
                                              text::lossy_utf8(path))));
  }
  auto too_large = [&] {
    return fail(ManifestError::reason(std::string(reason_code), fmt::format("{} exceeds {} bytes while reading {}",
                                                                            label, limit, text::lossy_utf8(path))));
  };
  // The buffer grows from a small first read by doubling but never past `limit`; once it
  // holds `limit` bytes, one more byte read on its own decides. At most limit + 1 bytes
  // are read and at most `limit` are held.
  std::string data;
  uint64_t used = 0;
  for (;;) {
    if (used == data.size()) {
      if (used == limit) {
        char extra;
        auto got = file->read_some(&extra, 1);
        if (!got) return fail(got.error());
        if (*got != 0) return too_large();
        break;
      }
      uint64_t want = data.empty() ? kFirstRead : static_cast<uint64_t>(data.size()) * 2;
      want = std::min(want, limit);
      if (want > std::numeric_limits<size_t>::max() / 2) want = std::numeric_limits<size_t>::max() / 2;
      data.resize(static_cast<size_t>(want));
    }
    size_t room = data.size() - static_cast<size_t>(used);
    auto got = file->read_some(data.data() + used, room);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    used += *got;
  }
  data.resize(static_cast<size_t>(used));
  return data;
}

Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label) {
  auto data = read_bounded_file(path, limit, reason_code, label);
  if (!data) return fail(data.error());
  FileDigest digest{sha256_hex(*data), data->size()};
  return digest;
}

}  // namespace zm::io
