#include "manifest/create/write_file.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <optional>
#include <string>

#include "io/file.h"
#include "io/path.h"
#include "io/random_uuid.h"
#include "text/utf8.h"

namespace zm {

namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kMaxTempAttempts = 16;

// A fresh name beside `target`: ".zm" and 16 random hex digits. Its length is fixed at
// 19 bytes, so no output name makes it longer, and every output name the file system
// accepts (up to 255 bytes) leaves room for it in the same directory.
std::string temp_name_for(const std::string& target) {
  std::string hex;
  for (char c : io::new_uuid_v4()) {
    if (c != '-') hex.push_back(c);
  }
  return io::join_path(io::parent_dir(target), ".zm" + hex.substr(hex.size() - 16));
}

// Makes the rename durable where the file system allows it; failure is not an error
// (the data itself has already been synced).
void sync_directory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

ManifestError write_error(const ManifestError& os) {
  return ManifestError::json(os.text(), 0, 0);
}

// An existing entry that is neither a regular file nor a directory (a FIFO, a device, a
// socket) is written through as it stands, never replaced: a socket then fails to open
// (ENXIO) instead of being swapped for a file.
bool writes_straight(mode_t mode) {
  return !S_ISREG(mode) && !S_ISDIR(mode);
}

// Writes into an existing FIFO or device as a stream. Returns nothing when the entry
// opened turns out to be a regular file after all (swapped in since it was examined):
// the caller then replaces it atomically instead; nothing has been written to it.
std::optional<Result<void>> write_straight(const std::string& target, std::string_view contents) {
  auto file = io::File::open_write_existing(target);
  if (!file) {
    if (file.error().os_error() == ENOENT) return std::nullopt;  // gone: a new file is made
    return Result<void>(fail(file.error()));
  }
  auto st = file->stat();
  if (!st) return Result<void>(fail(st.error()));
  if (!writes_straight(st->st_mode)) return std::nullopt;
  if (auto w = file->write_all(contents.data(), contents.size()); !w) return Result<void>(fail(write_error(w.error())));
  if (auto c = file->close_checked(); !c) return Result<void>(fail(write_error(c.error())));
  return Result<void>();
}

// Writes `contents` into `file`, with the replaced file's permissions set before any byte
// is written (so the contents are never readable more widely than the file they replace),
// and syncs it.
Result<void> fill_synced(io::File& file, std::string_view contents, std::optional<mode_t> permissions) {
  if (permissions && ::fchmod(file.fd(), *permissions) != 0) return fail(ManifestError::io_errno(errno));
  if (auto w = file.write_all(contents.data(), contents.size()); !w) return fail(write_error(w.error()));
  if (auto s = file.sync(); !s) return fail(write_error(s.error()));
  return {};
}

// The unnamed route: the file gets a name only once its contents are synced, so a process
// ended while writing (an interrupted command exits at once) leaves nothing behind; the
// named window is one link and one rename. Returns nothing, with no trace left, where the
// file system or the missing /proc cannot give an unnamed file a name: the caller then
// writes through a named temporary.
std::optional<Result<void>> replace_through_unnamed(const std::string& target, std::string_view contents,
                                                    std::optional<mode_t> permissions) {
  auto file = io::File::open_unnamed_in(io::parent_dir(target));
  if (!file) {
    const int err = file.error().os_error();
    if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) return std::nullopt;
    return Result<void>(fail(file.error()));
  }
  if (auto filled = fill_synced(*file, contents, permissions); !filled) return Result<void>(fail(filled.error()));
  std::string temp;
  Result<void> linked = fail(ManifestError::io_errno(EEXIST));
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    temp = temp_name_for(target);
    linked = file->link_as(temp);
    if (linked || linked.error().os_error() != EEXIST) break;
  }
  if (!linked) {
    if (linked.error().os_error() == ENOENT) return std::nullopt;  // no /proc to link through
    return Result<void>(fail(linked.error()));
  }
  if (auto c = file->close_checked(); !c) {
    ::unlink(temp.c_str());
    return Result<void>(fail(write_error(c.error())));
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return Result<void>(fail(ManifestError::io_errno(err)));
  }
  sync_directory(io::parent_dir(target));
  return Result<void>();
}

Result<void> replace_atomically(const std::string& target, std::string_view contents,
                                std::optional<mode_t> permissions) {
  if (auto done = replace_through_unnamed(target, contents, permissions)) return std::move(*done);
  std::string temp;
  Result<io::File> file = fail(ManifestError::io_errno(EEXIST));
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    temp = temp_name_for(target);
    file = io::File::open_write(temp, /*exclusive=*/true);
    if (file || file.error().os_error() != EEXIST) break;
  }
  if (!file) return fail(file.error());

  auto discard = [&](ManifestError error) -> Result<void> {
    file->close();
    ::unlink(temp.c_str());
    return fail(std::move(error));
  };
  if (auto filled = fill_synced(*file, contents, permissions); !filled) return discard(filled.error());
  if (auto c = file->close_checked(); !c) return discard(write_error(c.error()));
  if (::rename(temp.c_str(), target.c_str()) != 0) return discard(ManifestError::io_errno(errno));
  sync_directory(io::parent_dir(target));
  return {};
}

}  // namespace

Result<void> refuse_output_over_inputs(const std::string& out, std::span<const CreateInput> inputs) {
  struct stat out_st {};
  if (::stat(out.c_str(), &out_st) != 0) return {};
  for (const CreateInput& input : inputs) {
    struct stat in_st {};
    if (::stat(input.path->c_str(), &in_st) != 0) continue;
    if (in_st.st_dev == out_st.st_dev && in_st.st_ino == out_st.st_ino) {
      return fail(ManifestError::message(fmt::format("out {} is the same file as {} {}", text::lossy_utf8(out),
                                                     input.role, text::lossy_utf8(*input.path))));
    }
  }
  return {};
}

std::string resolve_write_target(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string link(PATH_MAX, '\0');
    ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return current;
    link.resize(static_cast<size_t>(n));
    current = io::is_absolute(link) ? link : io::join_path(io::parent_dir(current), link);
  }
  // A longer chain stops here: its last link read is replaced rather than followed.
  return current;
}

Result<void> write_output_file(const std::string& path, std::string_view contents) {
  const std::string target = resolve_write_target(path);
  struct stat st {};
  std::optional<mode_t> permissions;
  if (::stat(target.c_str(), &st) == 0) {
    if (writes_straight(st.st_mode)) {
      if (auto written = write_straight(target, contents)) return std::move(*written);
      if (::stat(target.c_str(), &st) != 0) st.st_mode = 0;  // re-examined below
    }
    if (S_ISREG(st.st_mode)) permissions = st.st_mode & 0777;
  }
  return replace_atomically(target, contents, permissions);
}

}  // namespace zm
