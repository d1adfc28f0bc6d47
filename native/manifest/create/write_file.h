// Writing the manifest file: a regular (or new) output is replaced atomically, an
// existing FIFO or device is written straight, and no output is ever one of the inputs.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "manifest/error.h"

namespace zm {

// One file that creation reads: its role as messages name it ("index", "row_map",
// "auxiliary artifact \"tok\""), and its path as the caller gave it.
struct CreateInput {
  std::string role;
  const std::string* path;
};

// Refuses an `out` that is the same file (device and inode, every symbolic link
// followed) as one of `inputs`: Message "out {} is the same file as {role} {}". An `out`
// or input that cannot be examined (it does not exist yet) matches nothing.
Result<void> refuse_output_over_inputs(const std::string& out, std::span<const CreateInput> inputs);

// The file that writing through `path` lands in: `path` itself, or, when it is a
// symbolic link (a chain of up to 40), the path its last link names, which may not
// exist yet. Lexical joins only; nothing is created.
std::string resolve_write_target(const std::string& path);

// Writes `contents` to the file `path` names (a symbolic link at `path` is kept and the
// file it points at is written):
// - an existing entry that is not a regular file or a directory (a FIFO, a device) is
//   opened for writing and written straight, as a stream (nothing is created, renamed
//   or synced);
// - otherwise a fresh temporary file beside the target (a fixed 19-byte name, created
//   with O_EXCL) receives the contents, is fsynced and renamed over the target, so
//   readers see either the old file whole or the new one whole. A replaced file's
//   permission bits carry over to the new file; a new file gets 0666 before the umask.
//   On any failure the temporary file is removed and an existing target is left exactly
//   as it was.
// Errors: the output or the temporary file cannot be opened, or the rename fails: Io with
// the system error; a write, fsync or close fails: Json at line 0 carrying the system
// error's text.
Result<void> write_output_file(const std::string& path, std::string_view contents);

}  // namespace zm
