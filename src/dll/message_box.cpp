#include "dll/message_box.h"

#if defined(_WIN32)
#include <windows.h>
// After <windows.h>, whose types it uses.
#include <shellapi.h>

#include "util/log.h"
#include "util/wide_text.h"
#else
#include "util/log.h"
#endif

namespace bw::dll {

#if defined(_WIN32)

void ShowInformationBox(const std::string& text) {
  MessageBoxW(nullptr, WideFromUtf8(text).c_str(), WideFromUtf8("信息").c_str(),
              MB_OK | MB_ICONINFORMATION);
}

bool OpenInBrowser(const std::string& url) {
  // The shell's answer above 32 means it started the handler of the URL.
  const auto answer = reinterpret_cast<INT_PTR>(
      ShellExecuteW(nullptr, L"open", WideFromUtf8(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
  if (answer > 32) return true;
  LogWarning("cannot open the settings panel in the browser (" + std::to_string(answer) + ")");
  return false;
}

void TerminateHostProcess() {
  // The host must be restarted to load the new package.
  HANDLE self = OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId());
  TerminateProcess(self ? self : GetCurrentProcess(), 0);
}

#else

void ShowInformationBox(const std::string& text) { LogInfo(text); }

bool OpenInBrowser(const std::string& url) {
  LogInfo("settings panel: " + url);
  return true;
}

void TerminateHostProcess() { LogWarning("the update asks to end the host process; not here"); }

#endif

}  // namespace bw::dll
