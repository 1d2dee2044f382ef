#include "util/files.h"

// The POSIX side; files_win.cpp is the Windows one. JoinPath, at the end, serves both.
#if !defined(_WIN32)
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>
#endif

#include <algorithm>

namespace bw {
#if !defined(_WIN32)
namespace {

Status Failure(std::string_view what, const std::string& path, int error) {
  return Status::Error(std::string(what) + " " + path + ": " + std::strerror(error));
}

// Writes everything, going on after short writes and interruptions.
bool WriteAll(int fd, std::string_view bytes, int& error) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error = errno;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string ParentDirectory(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool DirectoryExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

bool EnsureDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  // Each missing level is made with an explicit mode (create_directories would
  // take the umask's, typically world-readable). mkdir's mode is still masked
  // by the umask, so the mode is set again on what this call created.
  size_t end = 0;
  while (end != std::string::npos) {
    end = path.find('/', end + 1);
    const std::string part = path.substr(0, end);
    if (part.empty() || DirectoryExists(part)) continue;
    if (::mkdir(part.c_str(), kPrivateDirectoryMode) == 0) {
      (void)::chmod(part.c_str(), kPrivateDirectoryMode);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  // Also false when a part of the path is a file.
  return DirectoryExists(path);
}

Status ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure("cannot open", path, errno);
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  if (statted && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Failure("cannot read", path, EISDIR);
  }
  // Read straight into the string at its final size: growing it piece by
  // piece would copy a large list several times over. The size is a hint only
  // (a file that grows or shrinks meanwhile, or reports no size, still reads
  // to its end); one byte more lets the end show without a second buffer.
  const size_t hint = statted && S_ISREG(st.st_mode) && st.st_size > 0
                          ? static_cast<size_t>(st.st_size) + 1
                          : 64 * 1024;
  size_t used = 0;
  out.resize(hint);
  while (true) {
    if (used == out.size()) out.resize(out.size() * 2);
    const ssize_t n = ::read(fd, out.data() + used, out.size() - used);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      out.clear();
      return Failure("cannot read", path, error);
    }
    used += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(used);
  return Status::Ok();
}

Status WriteFileAtomic(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Failure("cannot create a temporary file for", path, errno);
  int error = 0;
  // mkstemp makes rw-------; said again so that no other mode can creep in.
  (void)::fchmod(fd, kPrivateFileMode);
  bool ok = WriteAll(fd, bytes, error);
  if (ok && ::fsync(fd) != 0) {
    error = errno;
    ok = false;
  }
  if (::close(fd) != 0 && ok) {
    error = errno;
    ok = false;
  }
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    error = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return Failure("cannot write", path, error);
  }
  // Make the rename itself durable; a failure here leaves a complete file.
  const int dir = ::open(ParentDirectory(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return Status::Ok();
}

Status AppendFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) return Failure("cannot open", path, errno);
  int error = 0;
  const bool ok = WriteAll(fd, bytes, error);
  if (::close(fd) != 0 && ok) return Failure("cannot append to", path, errno);
  if (!ok) return Failure("cannot append to", path, error);
  return Status::Ok();
}

bool RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

Status CreatePrivateFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kPrivateFileMode);
  if (fd < 0) {
    if (errno == EEXIST) return Status::Ok();
    return Failure("cannot create", path, errno);
  }
  (void)::fchmod(fd, kPrivateFileMode);  // the umask may have taken bits away, never added
  ::close(fd);
  return Status::Ok();
}

std::vector<std::string> RemoveStaleTemporaryFiles(const std::string& directory) {
  std::vector<std::string> removed;
  std::error_code ec;
  std::filesystem::directory_iterator it(directory, ec);
  if (ec) return removed;
  for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    const std::string name = it->path().filename().string();
    if (!IsAtomicWriteTemporaryName(name)) continue;
    const std::string path = JoinPath(directory, name);
    struct stat st {};
    // lstat: a link of that name is not ours to follow or remove.
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid())
      continue;
    if (::unlink(path.c_str()) == 0) removed.push_back(name);
  }
  std::sort(removed.begin(), removed.end());
  return removed;
}

std::vector<std::string> NamesIn(const std::string& directory) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr) return names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(dir);
  return names;
}
#endif  // !_WIN32

bool IsAtomicWriteTemporaryName(std::string_view name) {
  constexpr std::string_view kMarker = ".tmp-";
  const size_t at = name.rfind(kMarker);
  if (at == std::string_view::npos || at == 0) return false;
  const std::string_view suffix = name.substr(at + kMarker.size());
  const auto alnum = [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
  };
  const auto digits = [](std::string_view d) {
    return !d.empty() && d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  // POSIX: mkstemp's six letters or digits.
  if (suffix.size() == 6 && std::all_of(suffix.begin(), suffix.end(), alnum)) return true;
  // Windows: "<process id>-<tick count>".
  const size_t dash = suffix.find('-');
  return dash != std::string_view::npos && digits(suffix.substr(0, dash)) &&
         digits(suffix.substr(dash + 1));
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  if (dir.empty()) return std::string(name);
  std::string out(dir);
  const bool dirSlash = out.back() == '/';
  const bool nameSlash = !name.empty() && name.front() == '/';
  if (dirSlash && nameSlash) {
    name.remove_prefix(1);
  } else if (!dirSlash && !nameSlash) {
    out += '/';
  }
  out += name;
  return out;
}

}  // namespace bw
