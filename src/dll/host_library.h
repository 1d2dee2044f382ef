// HostLibrary: the host's function library (CQP.dll) opened by name and its
// functions looked up by name. LoadLibraryW/GetProcAddress on Windows,
// dlopen/dlsym elsewhere (the native tests load a fake host library).
//
// Thread-safety: symbol() may be called from any thread.
#pragma once

#include <memory>
#include <string>

namespace bw::dll {

class HostLibrary {
 public:
  // Null when the library cannot be loaded (the reason is logged). `path` is
  // UTF-8; a bare name is searched the platform's way.
  static std::unique_ptr<HostLibrary> open(const std::string& path);
  ~HostLibrary();
  HostLibrary(const HostLibrary&) = delete;
  HostLibrary& operator=(const HostLibrary&) = delete;

  // Null when the library has no such function.
  void* symbol(const char* name) const;
  const std::string& path() const { return path_; }

 private:
  HostLibrary(void* handle, std::string path) : handle_(handle), path_(std::move(path)) {}
  void* handle_;
  std::string path_;
};

}  // namespace bw::dll
