// UTF-8 and the UTF-16 of the Windows API's wide-character calls (paths, HTTP,
// message boxes), so that no text passes through the ANSI code page. Invalid
// UTF-8 becomes replacement characters.
//
// Thread-safety: pure functions. Windows only.
#pragma once

#if defined(_WIN32)

#include <string>
#include <string_view>

namespace bw {

std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);

}  // namespace bw

#endif
