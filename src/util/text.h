// Text helpers on UTF-8 text. Every search is a byte search on valid UTF-8, so a
// match always starts and ends on character boundaries.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

// The text after the first `left` (searched from byte offset `start`) up to the
// next `right`; empty when either marker is missing. The token "#引号" inside a
// marker stands for a double quote. With `ignoreCase`, ASCII letters of the
// markers match either case.
std::string TextBetween(std::string_view text, std::string_view left, std::string_view right,
                        size_t start = 0, bool ignoreCase = false);

// Percent-encoding. Each byte becomes "%XX" (upper-case hex); with `keepSafe`
// the bytes "-", ".", 0-9, A-Z, a-z stay as they are. The core's text is already
// UTF-8, so `asUtf8` encodes the UTF-8 bytes; without it the GBK form is encoded.
std::string UrlEncode(std::string_view text, bool keepSafe = true, bool asUtf8 = true);

// The integer value of an edit box's text: leading blanks, an optional sign and
// the leading decimal digits count; anything else gives 0. Saturates at int64.
int64_t TextToInt(std::string_view text);

// Every occurrence of `from` replaced by `to` (case-sensitive, left to right,
// non-overlapping). An empty `from` leaves the text unchanged.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

bool Contains(std::string_view text, std::string_view part);

// An account or group number as hosts and users write it: 1 to 18 decimal
// digits, nothing else (no sign, no blanks), and not 0. The one check every
// rule uses before it acts on a number that came from text.
bool IsAccountNumber(std::string_view text);

// Splits at every `separator`; an empty text gives one empty piece.
std::vector<std::string> Split(std::string_view text, std::string_view separator);

// Number of non-overlapping occurrences of `part`, ASCII letters compared
// without case when `ignoreCase`.
size_t CountOccurrences(std::string_view text, std::string_view part, bool ignoreCase = false);

// `text` itself when it has at most `maxBytes` bytes; otherwise its head and its
// tail around "…[N bytes]…" (N the bytes left out), at most `maxBytes` bytes in
// all, never cutting a UTF-8 character. The tail stays because a log message
// often ends in what matters ("…失败"). What a hostile member sends can be
// megabytes long: logs keep such excerpts, not the text.
std::string Excerpt(std::string_view text, size_t maxBytes);

}  // namespace bw
