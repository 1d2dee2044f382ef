#include "dll/host_library.h"

#if defined(_WIN32)
#include <windows.h>

#include "util/wide_text.h"
#else
#include <dlfcn.h>
#endif

#include "util/log.h"

namespace bw::dll {

#if defined(_WIN32)

std::unique_ptr<HostLibrary> HostLibrary::open(const std::string& path) {
  // The host has loaded its library already: take that one (counted, so that
  // FreeLibrary below stays balanced) and only load when it is not there.
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(0, WideFromUtf8(path).c_str(), &module))
    module = LoadLibraryW(WideFromUtf8(path).c_str());
  if (!module) {
    LogError("cannot load the host library " + path + " (error " + std::to_string(GetLastError()) +
             ")");
    return nullptr;
  }
  return std::unique_ptr<HostLibrary>(new HostLibrary(reinterpret_cast<void*>(module), path));
}

HostLibrary::~HostLibrary() { FreeLibrary(reinterpret_cast<HMODULE>(handle_)); }

void* HostLibrary::symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

#else

std::unique_ptr<HostLibrary> HostLibrary::open(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    LogError("cannot load the host library " + path + ": " + (why ? why : "unknown reason"));
    return nullptr;
  }
  return std::unique_ptr<HostLibrary>(new HostLibrary(handle, path));
}

HostLibrary::~HostLibrary() { dlclose(handle_); }

void* HostLibrary::symbol(const char* name) const { return dlsym(handle_, name); }

#endif

}  // namespace bw::dll
