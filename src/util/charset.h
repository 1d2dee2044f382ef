// Character-set conversion at the edges of the core (host DLL boundary, ANSI
// ODBC on Windows, files). Inside the core all text is UTF-8. GBK here means
// GB18030, its superset, so every Unicode character converts.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// Conversions (the platform's converter: iconv in charset_iconv.cpp on POSIX);
// a byte sequence that cannot be converted becomes U+FFFD / "?"
// rather than failing, so hostile input never loses the rest of the text.
std::string Utf8ToGbk(std::string_view utf8);
std::string GbkToUtf8(std::string_view gbk);

bool IsValidUtf8(std::string_view bytes);

// UTF-8 one character at a time. The length of the well-formed sequence that
// starts at byte `i` of `s`, its code point in `cp`; 0 (and `cp` untouched)
// where none starts: a stray byte, an overlong form, a surrogate, a value above
// U+10FFFF or a sequence cut off by the end.
size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp);
// Writes the UTF-8 form of `cp` (1 to 4 bytes) at `w` and returns the end of
// what it wrote; for loops that made their room beforehand.
char* EncodeUtf8(char32_t cp, char* w);
void AppendUtf8(std::string& out, char32_t cp);

// Text read from a file or another outside source: valid UTF-8 is taken as it
// is (a UTF-8 byte-order mark is dropped), anything else is read as GBK.
std::string DecodeExternalText(std::string_view bytes);

// A settings or list file decoded to UTF-8, with what could not be read.
struct DecodedText {
  std::string text;
  // 1-based lines holding bytes that could not be read; each such byte is now
  // U+FFFD.
  std::vector<size_t> unreadableLines;
  // 1-based lines read in another encoding than the rest of the file (a UTF-8
  // file with one line that only GB18030 makes sense of, or the reverse): their
  // text may be garbled.
  std::vector<size_t> guessedLines;
  bool clean() const { return unreadableLines.empty() && guessedLines.empty(); }
};

// Decodes a file whose encoding nobody wrote down. A UTF-8 byte-order mark
// makes the whole file UTF-8 and a UTF-16 LE or BE one makes it UTF-16 (marks
// are dropped). Without a mark each line decides for itself: valid UTF-8 is
// UTF-8; otherwise, in a file whose other lines are mostly UTF-8, the line is
// UTF-8 with its stray bytes replaced while it still reads more characters than
// it fails on, and elsewhere the reading (UTF-8 or GB18030) that fails on fewer
// bytes wins, GB18030 on a tie. So one stray byte damages at most its own line.
// Lines end at CR LF, a lone CR or a lone LF; line breaks are kept as they are.
DecodedText DecodeFileText(std::string_view bytes);

// The longest prefix of `utf8` whose GBK form has at most `maxBytes` bytes,
// never cutting a character in half.
std::string PrefixByGbkBytes(std::string_view utf8, size_t maxBytes);

// The text form in which this platform writes its files: UTF-8 on Linux, GBK on
// Windows.
std::string EncodeForFile(std::string_view utf8);

}  // namespace bw
