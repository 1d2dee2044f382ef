// The platform's information box: a message box on Windows; elsewhere (the
// native tests) a log line. Kept apart so that <windows.h> and its macros stay
// out of the plug-in's logic.
#pragma once

#include <string>

namespace bw::dll {

// Returns once the user closed the box.
void ShowInformationBox(const std::string& text);

}  // namespace bw::dll
