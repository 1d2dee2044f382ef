// The matcher on Windows, where no PCRE2 is at hand: std::wregex over UTF-16,
// so that "\D" takes a whole character (std::regex on UTF-8 bytes would take
// one byte). Slower than PCRE2 with its JIT, still fine for a day's log.
#if defined(_WIN32)

#include <regex>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/text.h"
#include "web/regex_matcher.h"

namespace bw {
namespace {

// UTF-8 to UTF-16, with the byte offset in the text of every code unit (and one
// past the end). A byte that starts no character becomes U+FFFD.
void Widen(std::string_view text, std::wstring& out, std::vector<size_t>& byteOf) {
  out.clear();
  byteOf.clear();
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    size_t len = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    if (len == 0 || i + len > text.size()) len = 0;
    for (size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(text[i + k]);
      if ((c & 0xC0) != 0x80) {
        len = 0;
        break;
      }
      cp = (cp << 6) | (c & 0x3F);
    }
    if (len == 0) {
      cp = 0xFFFD;
      len = 1;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<wchar_t>(0xD800 + (cp >> 10));
      byteOf.push_back(i);
      out += static_cast<wchar_t>(0xDC00 + (cp & 0x3FF));
      byteOf.push_back(i);
    } else {
      out += static_cast<wchar_t>(cp);
      byteOf.push_back(i);
    }
    i += len;
  }
  byteOf.push_back(text.size());
}

}  // namespace

bool RegexMatcher::run(std::string_view text, std::string_view pattern) {
  matches_.clear();
  text_.assign(text);
  const std::string source =
      substituteQuote ? ReplaceAll(pattern, "#引号", "\"") : std::string(pattern);
  std::wstring wideSource, wideText;
  std::vector<size_t> unused, byteOf;
  Widen(source, wideSource, unused);
  Widen(text_, wideText, byteOf);

  auto flags = std::regex_constants::ECMAScript;
  if (ignoreCase) flags |= std::regex_constants::icase;
  if (multiline) flags |= std::regex_constants::multiline;
  try {
    const std::wregex re(wideSource, flags);
    for (auto it = std::wsregex_iterator(wideText.begin(), wideText.end(), re);
         it != std::wsregex_iterator(); ++it) {
      const size_t from = static_cast<size_t>(it->position(0));
      const size_t to = from + static_cast<size_t>(it->length(0));
      matches_.emplace_back(byteOf[from], byteOf[to] - byteOf[from]);
      if (!global) break;
    }
  } catch (const std::regex_error& e) {
    LogWarning(std::string("regular expression does not compile: ") + e.what() + ": " + source);
    matches_.clear();
    return false;
  }
  return true;
}

std::string RegexMatcher::matchText(size_t i) const {
  const auto [at, length] = matches_.at(i);
  return text_.substr(at, length);
}

}  // namespace bw

#endif  // _WIN32
