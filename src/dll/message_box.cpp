#include "dll/message_box.h"

#if defined(_WIN32)
#include <windows.h>

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
