// Character-set conversion at the edges of the core (host DLL boundary, ANSI
// ODBC on Windows, files). Inside the core all text is UTF-8. GBK here means
// GB18030, its superset, so every Unicode character converts.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace bw {

// Conversions (the platform's converter: iconv in charset_iconv.cpp on POSIX);
// a byte sequence that cannot be converted becomes U+FFFD / "?"
// rather than failing, so hostile input never loses the rest of the text.
std::string Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8(std::string_view gbk);

bool IsValidUtf8(std::string_view bytes);

// Text read from a file or another outside source: valid UTF-8 is taken as it
// is (a UTF-8 byte-order mark is dropped), anything else is read as GBK.
std::string DecodeExternalText(std::string_view bytes);

// The longest prefix of `utf8` whose GBK form has at most `maxBytes` bytes,
// never cutting a character in half.
std::string PrefixByGbkBytes(std::string_view utf8, size_t maxBytes);

// The text form in which this platform writes its files: UTF-8 on Linux, GBK on
// Windows.
std::string EncodeForFile(std::string_view utf8);

}  // namespace bw
