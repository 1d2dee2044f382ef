// File-system helpers. All OS file I/O of the core goes through these, so that
// write failures are reported and settings files are never left half written.
//
// Paths are UTF-8 and use "/" on Linux.
// Thread-safety: pure functions; concurrent writers of one path must be serialised
// by the caller.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/status.h"

namespace bw {

bool DirectoryExists(const std::string& path);
bool FileExists(const std::string& path);  // any file or directory

// What the robot keeps (settings, lists, the database, logs) is its owner's
// business alone: directories it creates are rwx------ and files it writes
// rw-------, whatever the umask.
inline constexpr unsigned kPrivateDirectoryMode = 0700;
inline constexpr unsigned kPrivateFileMode = 0600;

// Creates the directory and every missing parent (rwx------). Returns false when
// the path exists as a non-directory or cannot be created.
bool EnsureDirectory(const std::string& path);

// Whole-file read; a missing file is an error status with `out` cleared.
Status ReadFileBytes(const std::string& path, std::string& out);

// Writes to a temporary file "<path>.tmp-XXXXXX" in the same directory, flushes
// it and renames it over `path`: a crash or a full disk leaves either the old or
// the new file (and, after a kill, the temporary file, which
// RemoveStaleTemporaryFiles clears). The result is rw-------.
Status WriteFileAtomic(const std::string& path, std::string_view bytes);

// Appends without truncating, creating the file (rw-------) when missing.
Status AppendFile(const std::string& path, std::string_view bytes);

// Creates an empty rw------- file unless something exists at `path` already
// (for files another library fills, such as the database).
Status CreatePrivateFile(const std::string& path);

// Removes a file; false when it could not (a missing file included).
bool RemoveFile(const std::string& path);

// True for a name WriteFileAtomic gives its temporary files: a non-empty name,
// ".tmp-" and six letters or digits (POSIX) or "<digits>-<digits>" (Windows).
bool IsAtomicWriteTemporaryName(std::string_view name);

// Removes the temporary files a write interrupted by a kill left in `directory`
// (not in its subdirectories): regular files of this user named as above.
// Call it only while nothing writes there. Returns the names removed.
std::vector<std::string> RemoveStaleTemporaryFiles(const std::string& directory);

// The names of everything directly in `directory` (files, directories, links;
// not "." and ".."), in no particular order; empty when it cannot be read. One
// listing answers "which of these many files exist?" for the price of one
// call instead of one look-up per file.
std::vector<std::string> NamesIn(const std::string& directory);

// "dir" + "/" + "name" without doubling the separator.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace bw
