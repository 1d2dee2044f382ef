// The platform's information box, the default browser and the end of the host
// process: Windows
// calls there; elsewhere (the native tests) log lines. Kept apart so that <windows.h> and its
// macros stay out of the plug-in's logic.
#pragma once

#include <string>

namespace bw::dll {

// Returns once the user closed the box.
void ShowInformationBox(const std::string& text);

// Opens `url` in the user's default browser (ShellExecuteW with "open");
// elsewhere only logs it. False when the shell refused.
bool OpenInBrowser(const std::string& url);

// Ends the host process with exit code 0 (Windows); elsewhere only logs that
// it would.
void TerminateHostProcess();

}  // namespace bw::dll
