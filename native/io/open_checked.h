// Opening a file that a path policy has resolved, without a gap between the check and
// the open. A canonical path is checked when it is resolved, but opening it again by
// name follows whatever the name denotes at that later moment: a symbolic link swapped
// in between would lead the open outside the checked directory. The functions here pin
// the identity (device, inode) of the entry at the canonical path while walking it
// without following any symbolic link, and confirm after each open that the file opened
// is that entry. A mismatch is the "file changed" error, never a silent substitute.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "io/file.h"

namespace zm::io {

struct FileIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  bool operator==(const FileIdentity&) const = default;
};

// The error text of a resolved entry that was replaced (a symbolic link appeared on the
// canonical path, or another file stands there) between its resolution and its open.
inline constexpr std::string_view kFileChangedText = "file changed while it was being opened";

// True for the error that identify_canonical() and open_identified() return on a change.
bool is_file_changed(const ManifestError& error);

// The identity of the entry at absolute canonical `path`, reached component by component
// from the root without following any symbolic link (no file is opened for reading).
// A symbolic link on the way is the file-changed error; other failures are the
// operating system's (ENOENT when the entry is gone, ENOTDIR, EACCES, ...).
Result<FileIdentity> identify_canonical(const std::string& path);

// Opens `path` for reading only if the entry it names is `expected`: the path is first
// opened without access (which never blocks, so a FIFO swapped in cannot stall the
// caller), its fstat identity compared, and that same entry then opened for reading
// (blocking as a plain open does, for a FIFO the manifest names). The open's own failure
// is returned as the operating system's error; a different entry is the file-changed
// error, and no descriptor is left open.
Result<File> open_identified(const std::string& path, const FileIdentity& expected);

}  // namespace zm::io
