#include "dll/message_box.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include "util/log.h"
#endif

namespace bw::dll {

#if defined(_WIN32)

namespace {

std::wstring Wide(const std::string& utf8) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 1), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
  return out;
}

}  // namespace

void ShowInformationBox(const std::string& text) {
  MessageBoxW(nullptr, Wide(text).c_str(), Wide("信息").c_str(), MB_OK | MB_ICONINFORMATION);
}

void TerminateHostProcess() {
  // The host must be restarted to load the new package.
  HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
  TerminateProcess(self ? self : GetCurrentProcess(), 0);
}

#else

void ShowInformationBox(const std::string& text) { LogInfo(text); }

void TerminateHostProcess() { LogWarning("the update asks to end the host process; not here"); }

#endif

}  // namespace bw::dll
