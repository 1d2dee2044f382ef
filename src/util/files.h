// File-system helpers. All OS file I/O of the core goes through these, so that
// write failures are reported and settings files are never left half written.
//
// Paths are UTF-8 and use "/" on Linux.
// Thread-safety: pure functions; concurrent writers of one path must be serialised
// by the caller.
#pragma once

#include <string>
#include <string_view>

#include "util/status.h"

namespace bw {

bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path);  // any file or directory

// Creates the directory and every missing parent. Returns false when the path
// exists as a non-directory or cannot be created.
bool EnsureDirectory(const std::string& path);

// Whole-file read; a missing file is an error status with `out` cleared.
Status ReadFileBytes(const std::string& path, std::string& out);

// Writes to a temporary file in the same directory, flushes it and renames it
// over `path`: a crash or a full disk leaves either the old or the new file.
Status WriteFileAtomic(const std::string& path, std::string_view bytes);

// Appends without truncating, creating the file when missing.
Status AppendFile(const std::string& path, std::string_view bytes);

// "dir" + "/" + "name" without doubling the separator.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace bw
