#include "util/files.h"

// The POSIX side; files_win.cpp is the Windows one. JoinPath, at the end, serves both.
#if !defined(_WIN32)
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>
#endif

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
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  // create_directories also fails when a part of the path is a file.
  return DirectoryExists(path);
}

Status ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Failure("cannot open", path, errno);
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    return Failure("cannot read", path, EISDIR);
  }
  std::vector<char> buffer(64 * 1024);
  while (true) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      ::close(fd);
      out.clear();
      return Failure("cannot read", path, error);
    }
    out.append(buffer.data(), static_cast<size_t>(n));
  }
  ::close(fd);
  return Status::Ok();
}

Status WriteFileAtomic(const std::string& path, std::string_view bytes) {
  std::string temp = path + ".tmp-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) return Failure("cannot create a temporary file for", path, errno);
  int error = 0;
  // Keep the permissions of the file being replaced; a new file gets rw-r--r--.
  struct stat st {};
  const mode_t mode = ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
  (void)::fchmod(fd, mode);  // best effort: the content matters more than the mode
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
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return Failure("cannot open", path, errno);
  int error = 0;
  const bool ok = WriteAll(fd, bytes, error);
  if (::close(fd) != 0 && ok) return Failure("cannot append to", path, errno);
  if (!ok) return Failure("cannot append to", path, error);
  return Status::Ok();
}

#endif  // !_WIN32

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
