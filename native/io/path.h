// Paths are bytes (std::string holding the OS path). These helpers are lexical except
// canonicalize(), which asks the file system (realpath).
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"

namespace zm::io {

// The directory holding `path`, computed lexically: the path without its final
// component (a name, "." or ".."), trailing separators and "." components ignored, text
// otherwise kept as written ("a/../m.json" -> "a/.."). "." when there is no parent or
// it is empty (a bare name, the root, an empty path).
std::string parent_dir(std::string_view path);

// base + "/" + path without doubling the separator; an empty path yields base itself.
std::string join_path(std::string_view base, std::string_view path);

bool is_absolute(std::string_view path);

// The error text of a path that holds a NUL byte: such a path names no file, and handing
// it to the system would silently cut it at the NUL and name another one.
inline constexpr std::string_view kNulInPathText = "path contains a NUL byte";

bool contains_nul(std::string_view path);

// realpath(3): absolute, every symbolic link, "." and ".." resolved; the entry must exist.
// A path holding a NUL byte fails with kNulInPathText and never reaches the system.
Result<std::string> canonicalize(const std::string& path);

// True when `path` names a regular file now (symbolic links followed). Anything else (a
// FIFO, a device, a directory, a missing entry, a path holding a NUL byte) is false. Only
// a hint for where to read a file: the open that follows does its own checks.
bool names_regular_file(const std::string& path);

// True when canonical path `path` equals `base` or lies below it, component by component.
// Both must be canonical (absolute, no trailing separator except the root itself).
bool path_within(std::string_view path, std::string_view base);

}  // namespace zm::io
