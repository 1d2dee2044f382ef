#include "util/charset.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace bw {
namespace {

// Length of the well-formed UTF-8 sequence starting at `i`, 0 when there is none
// (overlong forms, surrogates and values above U+10FFFF are not well-formed).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (size_t k = 2; k < len; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  return len;
}

// Length of the well-formed GB18030 sequence starting at `i`, 0 when there is
// none: one byte below 0x80, two bytes (lead 0x81-0xFE, trail 0x40-0x7E or
// 0x80-0xFE) or four bytes (lead, digit, lead, digit).
size_t Gb18030SequenceLength(std::string_view s, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const auto isLead = [](unsigned char b) { return b >= 0x81 && b <= 0xFE; };
  const auto isDigit = [](unsigned char b) { return b >= 0x30 && b <= 0x39; };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  if (!isLead(b0) || s.size() - i < 2) return 0;
  const unsigned char b1 = byte(i + 1);
  if ((b1 >= 0x40 && b1 <= 0x7E) || (b1 >= 0x80 && b1 <= 0xFE)) return 2;
  if (isDigit(b1) && s.size() - i >= 4 && isLead(byte(i + 2)) && isDigit(byte(i + 3))) return 4;
  return 0;
}

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// How a decoder fares on `s`: the bytes it skips one at a time because they
// start no sequence, and the sequences of more than one byte it reads.
struct Reading {
  size_t bad = 0, multibyte = 0;
};
template <typename SequenceLength>
Reading Read(std::string_view s, SequenceLength length) {
  Reading r;
  for (size_t i = 0; i < s.size();) {
    const size_t len = length(s, i);
    if (len == 0) {
      ++r.bad;
      i += 1;
    } else {
      r.multibyte += len > 1 ? 1 : 0;
      i += len;
    }
  }
  return r;
}

// UTF-8 with each byte that starts no well-formed sequence replaced.
std::string RepairUtf8(std::string_view s) {
  std::string out;
  out.reserve(s.size() + 8);
  for (size_t i = 0; i < s.size();) {
    const size_t len = Utf8SequenceLength(s, i);
    if (len == 0) {
      out += kReplacement;
      i += 1;
    } else {
      out.append(s.substr(i, len));
      i += len;
    }
  }
  return out;
}

// Counts lines the way DecodeFileText numbers them: CR LF, a lone CR and a
// lone LF each end one line.
class LineCounter {
 public:
  void see(uint32_t c) {
    if (c == '\r' || (c == '\n' && previous_ != '\r')) ++line_;
    previous_ = c;
  }
  size_t line() const { return line_; }

 private:
  size_t line_ = 1;
  uint32_t previous_ = 0;
};

void NoteLine(std::vector<size_t>& lines, size_t line) {
  if (lines.empty() || lines.back() != line) lines.push_back(line);
}

DecodedText DecodeUtf16(std::string_view bytes, bool bigEndian) {
  DecodedText out;
  out.text.reserve(bytes.size() * 3 / 2);
  LineCounter lines;
  const auto unit = [&](size_t k) -> uint32_t {
    const auto b0 = static_cast<unsigned char>(bytes[k]);
    const auto b1 = static_cast<unsigned char>(bytes[k + 1]);
    return bigEndian ? (b0 << 8 | b1) : (b1 << 8 | b0);
  };
  const size_t units = bytes.size() / 2;
  for (size_t u = 0; u < units; ++u) {
    uint32_t c = unit(2 * u);
    if (c >= 0xD800 && c <= 0xDBFF && u + 1 < units) {
      const uint32_t low = unit(2 * (u + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++u;
      }
    }
    if (c >= 0xD800 && c <= 0xDFFF) {  // a surrogate without its partner
      NoteLine(out.unreadableLines, lines.line());
      out.text += kReplacement;
      lines.see(0xFFFD);
      continue;
    }
    AppendUtf8(out.text, c);
    lines.see(c);
  }
  if (bytes.size() % 2 != 0) {  // half a code unit at the end
    NoteLine(out.unreadableLines, lines.line());
    out.text += kReplacement;
  }
  return out;
}

}  // namespace

DecodedText DecodeFileText(std::string_view bytes) {
  constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
  constexpr std::string_view kUtf16LeBom = "\xFF\xFE";
  constexpr std::string_view kUtf16BeBom = "\xFE\xFF";
  if (bytes.substr(0, 2) == kUtf16LeBom) return DecodeUtf16(bytes.substr(2), false);
  if (bytes.substr(0, 2) == kUtf16BeBom) return DecodeUtf16(bytes.substr(2), true);
  const bool utf8Bom = bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom;
  if (utf8Bom) bytes.remove_prefix(kUtf8Bom.size());
  // Every line valid UTF-8 (line breaks never sit inside a sequence): the text
  // is the bytes as they are, and nothing needs weighing line by line.
  if (IsValidUtf8(bytes)) return DecodedText{std::string(bytes), {}, {}};

  // Lines end at CR LF, a lone CR or a lone LF.
  struct Line {
    std::string_view text, end;
    Reading utf8, gb;
  };
  std::vector<Line> lines;
  lines.reserve(static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1);
  for (size_t pos = 0; pos <= bytes.size();) {
    size_t end = bytes.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = bytes.size();
    size_t breakLength = 0;
    if (end < bytes.size())
      breakLength = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n' ? 2 : 1;
    lines.push_back({bytes.substr(pos, end - pos), bytes.substr(end, breakLength), {}, {}});
    if (breakLength == 0) break;
    pos = end + breakLength;
  }
  // What the file as a whole looks like: lines that only one reading makes
  // sense of.
  size_t surelyUtf8 = 0, surelyGb = 0;
  for (Line& l : lines) {
    l.utf8 = Read(l.text, Utf8SequenceLength);
    if (l.utf8.bad == 0) {
      surelyUtf8 += l.utf8.multibyte > 0 ? 1 : 0;
    } else {
      l.gb = Read(l.text, Gb18030SequenceLength);
      // A UTF-8 line with a stray byte may read as GB18030 too: not sure then.
      surelyGb += l.gb.bad == 0 && l.utf8.multibyte <= l.utf8.bad ? 1 : 0;
    }
  }
  const bool mostlyUtf8 = utf8Bom || surelyUtf8 > surelyGb;
  // A line that is no valid UTF-8. In a UTF-8 file a stray byte often still
  // leaves a line GB18030 reads without fault (its bytes pair up), so there
  // UTF-8 wins while it reads more characters than it fails on; otherwise the
  // reading that fails on fewer bytes wins, GB18030 on a tie.
  const auto ReadAsUtf8 = [&](const Reading& utf8, const Reading& gb) {
    if (utf8Bom) return true;  // the mark settles it
    if (mostlyUtf8) return utf8.multibyte > utf8.bad || utf8.bad <= gb.bad;
    return utf8.bad < gb.bad;
  };

  DecodedText out;
  out.text.reserve(bytes.size() + bytes.size() / 4);
  std::vector<size_t> utf8Lines, gbLines;  // lines with non-ASCII text, by reading
  for (size_t n = 0; n < lines.size(); ++n) {
    const Line& l = lines[n];
    const size_t number = n + 1;
    if (l.utf8.bad == 0) {
      out.text.append(l.text);
      if (l.utf8.multibyte > 0) utf8Lines.push_back(number);
    } else if (!ReadAsUtf8(l.utf8, l.gb)) {
      const std::string decoded = GbkToUtf8(l.text);
      if (decoded.find(kReplacement) != std::string::npos) out.unreadableLines.push_back(number);
      out.text += decoded;
      gbLines.push_back(number);
    } else {
      out.unreadableLines.push_back(number);
      out.text += RepairUtf8(l.text);
      utf8Lines.push_back(number);
    }
    out.text.append(l.end);
  }
  // Both readings in one file: the lines of the rarer one are probably wrong.
  if (!utf8Lines.empty() && !gbLines.empty()) {
    out.guessedLines = gbLines.size() <= utf8Lines.size() ? gbLines : utf8Lines;
  }
  return out;
}

size_t DecodeUtf8(std::string_view s, size_t i, char32_t& cp) {
  const size_t len = Utf8SequenceLength(s, i);
  if (len == 0) return 0;
  const auto b0 = static_cast<unsigned char>(s[i]);
  char32_t c = len == 1 ? b0 : b0 & (0x7F >> len);
  for (size_t k = 1; k < len; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  cp = c;
  return len;
}

char* EncodeUtf8(char32_t cp, char* w) {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

void AppendUtf8(std::string& out, char32_t cp) {
  char bytes[4];
  out.append(bytes, EncodeUtf8(cp, bytes));
}

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    // Runs of ASCII, the bulk of most files, eight bytes at a time.
    while (bytes.size() - i >= 8) {
      uint64_t word;
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i == bytes.size()) break;
    const size_t len = Utf8SequenceLength(bytes, i);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

std::string DecodeExternalText(std::string_view bytes) {
  constexpr std::string_view kBom = "\xEF\xBB\xBF";
  if (bytes.substr(0, kBom.size()) == kBom && IsValidUtf8(bytes.substr(kBom.size()))) {
    return std::string(bytes.substr(kBom.size()));
  }
  if (IsValidUtf8(bytes)) return std::string(bytes);
  return GbkToUtf8(bytes);
}

std::string PrefixByGbkBytes(std::string_view utf8, size_t maxBytes) {
  size_t gbkBytes = 0;
  size_t end = 0;
  while (end < utf8.size()) {
    size_t len = Utf8SequenceLength(utf8, end);
    size_t cost;
    if (len == 0) {
      len = 1;  // a stray byte converts to one "?"
      cost = 1;
    } else if (len == 1) {
      cost = 1;
    } else {
      cost = Utf8ToGbk(utf8.substr(end, len)).size();
    }
    if (gbkBytes + cost > maxBytes) break;
    gbkBytes += cost;
    end += len;
  }
  return std::string(utf8.substr(0, end));
}

std::string EncodeForFile(std::string_view utf8) {
#if defined(_WIN32)
  return Utf8ToGbk(utf8);
#else
  return std::string(utf8);
#endif
}

}  // namespace bw
