// Atomic replacement of a file's contents, so that a failed write never leaves a
// partial or emptied file where a good one stood.
#pragma once

#include <string>
#include <string_view>

#include "manifest/error.h"

namespace zm {

// The file that writing through `path` lands in: `path` itself, or, when it is a
// symbolic link (a chain of up to 40), the path its last link names, which may not
// exist yet. Lexical joins only; nothing is created.
std::string resolve_write_target(const std::string& path);

// Writes `contents` to a fresh temporary file beside the target of `path` (created with
// O_EXCL, mode 0666 before the umask), fsyncs it and renames it over the target, so
// readers see either the old file whole or the new one whole. A symbolic link at `path`
// is kept and the file it points at is replaced. On any failure the temporary file is
// removed and an existing target is left exactly as it was.
// Errors: the temporary file cannot be created, or the rename fails: Io with the system
// error; a write, fsync or close fails: Json at line 0 carrying the system error's text.
Result<void> replace_file_atomically(const std::string& path, std::string_view contents);

}  // namespace zm
