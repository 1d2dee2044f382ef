// The platform's information box and the end of the host process: Windows
// calls there; elsewhere (the native tests) log lines. Kept apart so that <windows.h> and its
// macros stay out of the plug-in's logic.
#pragma once

#include <string>

namespace bw::dll {

// Returns once the user closed the box.
void ShowInformationBox(const std::string& text);

// Ends the host process with exit code 0 (Windows); elsewhere only logs that
// it would.
void TerminateHostProcess();

}  // namespace bw::dll
