// The file helpers on Windows: wide-character calls throughout, so that a path
// never passes through the ANSI code page, and MoveFileExW for the atomic
// replace. Paths are UTF-8 and may use "/" or "\".
#if defined(_WIN32)

#include <windows.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "util/files.h"
#include "util/wide_text.h"

namespace bw {
namespace {

Status Failure(std::string_view what, const std::string& path, DWORD error) {
  return Status::Error(std::string(what) + " " + path + ": Windows error " + std::to_string(error));
}

// Closes a handle when leaving the scope.
struct Handle {
  HANDLE h;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

bool WriteAll(HANDLE h, std::string_view bytes, DWORD& error) {
  while (!bytes.empty()) {
    const DWORD chunk = bytes.size() > (1u << 30) ? (1u << 30) : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(h, bytes.data(), chunk, &written, nullptr)) {
      error = GetLastError();
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

}  // namespace

bool DirectoryExists(const std::string& path) {
  if (path.empty()) return false;
  const DWORD a = GetFileAttributesW(WideFromUtf8(path).c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool FileExists(const std::string& path) {
  return !path.empty() && GetFileAttributesW(WideFromUtf8(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool EnsureDirectory(const std::string& path) {
  if (path.empty()) return false;
  if (DirectoryExists(path)) return true;
  // Each missing parent in turn, from the top ("C:\" and "\\server\share" exist).
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/' && path[i] != '\\') continue;
    const std::string part = path.substr(0, i);
    if (part.empty() || part.back() == ':' || DirectoryExists(part)) continue;
    CreateDirectoryW(WideFromUtf8(part).c_str(), nullptr);
  }
  return DirectoryExists(path);
}

Status ReadFileBytes(const std::string& path, std::string& out) {
  out.clear();
  Handle file{CreateFileW(WideFromUtf8(path).c_str(), GENERIC_READ,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) return Failure("cannot open", path, GetLastError());
  // At the file's size from the start: a long list is not copied again and again.
  LARGE_INTEGER size{};
  if (GetFileSizeEx(file.h, &size) && size.QuadPart > 0)
    out.reserve(static_cast<size_t>(size.QuadPart));
  std::string buffer(64 * 1024, '\0');
  while (true) {
    DWORD n = 0;
    if (!ReadFile(file.h, buffer.data(), static_cast<DWORD>(buffer.size()), &n, nullptr)) {
      const DWORD error = GetLastError();
      out.clear();
      return Failure("cannot read", path, error);
    }
    if (n == 0) break;
    out.append(buffer.data(), n);
  }
  return Status::Ok();
}

Status WriteFileAtomic(const std::string& path, std::string_view bytes) {
  const std::wstring target = WideFromUtf8(path);
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  // A fresh name beside the target; CREATE_NEW never takes over another's file.
  for (unsigned attempt = 0; attempt < 100 && h == INVALID_HANDLE_VALUE; ++attempt) {
    temp = target + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
           std::to_wstring(GetTickCount() + attempt);
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                    nullptr);
    if (h == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
  }
  if (h == INVALID_HANDLE_VALUE) {
    return Failure("cannot create a temporary file for", path, GetLastError());
  }
  DWORD error = 0;
  bool ok = WriteAll(h, bytes, error);
  if (ok && !FlushFileBuffers(h)) {
    error = GetLastError();
    ok = false;
  }
  CloseHandle(h);
  if (ok && !MoveFileExW(temp.c_str(), target.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = GetLastError();
    ok = false;
  }
  if (!ok) {
    DeleteFileW(temp.c_str());
    return Failure("cannot write", path, error);
  }
  return Status::Ok();
}

Status AppendFile(const std::string& path, std::string_view bytes) {
  Handle file{CreateFileW(WideFromUtf8(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) return Failure("cannot open", path, GetLastError());
  DWORD error = 0;
  if (!WriteAll(file.h, bytes, error)) return Failure("cannot append to", path, error);
  return Status::Ok();
}

// Windows has no mode bits here: the files inherit the directory's ACL.
bool RemoveFile(const std::string& path) { return DeleteFileW(WideFromUtf8(path).c_str()) != 0; }

Status CreatePrivateFile(const std::string& path) {
  Handle file{CreateFileW(WideFromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                          FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (file.h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS) return Status::Ok();
    return Failure("cannot create", path, error);
  }
  return Status::Ok();
}

std::vector<std::string> RemoveStaleTemporaryFiles(const std::string& directory) {
  std::vector<std::string> removed;
  WIN32_FIND_DATAW found;
  const std::wstring dir = WideFromUtf8(JoinPath(directory, ""));
  HANDLE search = FindFirstFileW((dir + L"*.tmp-*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return removed;
  do {
    // Directories and links of that name are not ours.
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
      continue;
    const std::string name = Utf8FromWide(found.cFileName);
    if (name.empty()) continue;
    if (!IsAtomicWriteTemporaryName(name)) continue;
    if (DeleteFileW((dir + found.cFileName).c_str())) removed.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(removed.begin(), removed.end());
  return removed;
}

std::vector<std::string> NamesIn(const std::string& directory) {
  std::vector<std::string> names;
  WIN32_FIND_DATAW found;
  const std::wstring dir = WideFromUtf8(JoinPath(directory, ""));
  HANDLE search = FindFirstFileW((dir + L"*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    std::string name = Utf8FromWide(found.cFileName);
    if (!name.empty() && name != "." && name != "..") names.push_back(std::move(name));
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return names;
}

}  // namespace bw

#endif  // _WIN32
