#include "util/text.h"

#include <cstddef>
#include <limits>

#include "util/charset.h"

namespace bw {
namespace {

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Byte search from `from`; ASCII letters compared without case when `ignoreCase`.
// Other bytes always compare exactly, so a UTF-8 match stays on character boundaries.
size_t Find(std::string_view text, std::string_view part, size_t from, bool ignoreCase) {
  if (!ignoreCase) return text.find(part, from);
  if (part.size() > text.size()) return std::string_view::npos;
  for (size_t i = from; i + part.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < part.size() && AsciiLower(text[i + k]) == AsciiLower(part[k])) ++k;
    if (k == part.size()) return i;
  }
  return std::string_view::npos;
}

}  // namespace

std::string TextBetween(std::string_view text, std::string_view left, std::string_view right,
                        size_t start, bool ignoreCase) {
  constexpr std::string_view kQuoteToken = "#引号";
  const std::string l = ReplaceAll(left, kQuoteToken, "\"");
  const std::string r = ReplaceAll(right, kQuoteToken, "\"");
  if (l.empty() || r.empty() || start > text.size()) return {};
  const size_t at = Find(text, l, start, ignoreCase);
  if (at == std::string_view::npos) return {};
  const size_t begin = at + l.size();
  const size_t end = Find(text, r, begin, ignoreCase);
  if (end == std::string_view::npos) return {};
  return std::string(text.substr(begin, end - begin));
}

std::string UrlEncode(std::string_view text, bool keepSafe, bool asUtf8) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  const std::string bytes = asUtf8 ? std::string(text) : Utf8ToGbk(text);
  std::string out;
  out.reserve(bytes.size() * 3);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    const bool safe = (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') ||
                      b == '-' || b == '.';
    if (keepSafe && safe) {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    }
  }
  return out;
}

int64_t TextToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r' ||
                             text[i] == '\n' || text[i] == '\v' || text[i] == '\f')) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  // Accumulate as a negative number: its range holds int64's minimum.
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  int64_t value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const int digit = text[i] - '0';
    if (value < (kMin + digit) / 10) {
      value = kMin;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
      break;
    }
    value = value * 10 - digit;
  }
  if (negative) return value;
  return value == kMin ? std::numeric_limits<int64_t>::max() : -value;
}

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(text);
  std::string out;
  out.reserve(text.size());
  size_t pos = 0;
  while (true) {
    const size_t at = text.find(from, pos);
    if (at == std::string_view::npos) break;
    out.append(text.substr(pos, at - pos));
    out.append(to);
    pos = at + from.size();
  }
  out.append(text.substr(pos));
  return out;
}

bool IsAccountNumber(std::string_view text) {
  if (text.empty() || text.size() > 18) return false;
  for (char ch : text)
    if (ch < '0' || ch > '9') return false;
  return text.find_first_not_of('0') != std::string_view::npos;
}

bool Contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

std::vector<std::string> Split(std::string_view text, std::string_view separator) {
  std::vector<std::string> pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t pos = 0;
  while (true) {
    const size_t at = text.find(separator, pos);
    if (at == std::string_view::npos) break;
    pieces.emplace_back(text.substr(pos, at - pos));
    pos = at + separator.size();
  }
  pieces.emplace_back(text.substr(pos));
  return pieces;
}

size_t CountOccurrences(std::string_view text, std::string_view part, bool ignoreCase) {
  if (part.empty()) return 0;
  size_t count = 0;
  size_t pos = 0;
  while ((pos = Find(text, part, pos, ignoreCase)) != std::string_view::npos) {
    ++count;
    pos += part.size();
  }
  return count;
}

std::string Excerpt(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(text);
  const auto continuation = [&](size_t i) {
    return i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
  };
  // The marker's number has at most as many digits as the text's size.
  const size_t markerBytes =
      std::string_view("…[ bytes]…").size() + std::to_string(text.size()).size();
  if (maxBytes <= markerBytes) {
    size_t cut = maxBytes;
    while (cut > 0 && continuation(cut)) --cut;
    return std::string(text.substr(0, cut));
  }
  const size_t room = maxBytes - markerBytes;
  size_t head = room - room / 4;
  while (head > 0 && continuation(head)) --head;
  size_t tail = text.size() - room / 4;
  while (tail < text.size() && continuation(tail)) ++tail;
  std::string out(text.substr(0, head));
  out += "…[" + std::to_string(tail - head) + " bytes]…";
  out += text.substr(tail);
  return out;
}

}  // namespace bw
