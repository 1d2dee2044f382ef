#include "automod/fold.h"

#include <cstdint>

namespace bw::automod {

namespace {

// Characters that show nothing or only space: removed, so that they cannot
// split a word.
bool Invisible(uint32_t c) {
  if (c <= 0x20 || c == 0x7F) return true;  // controls and the space
  if (c >= 0x80 && c <= 0xA0) return true;  // C1 controls, no-break space
  switch (c) {
    case 0xAD:    // soft hyphen
    case 0x34F:   // combining grapheme joiner
    case 0x61C:   // Arabic letter mark
    case 0x115F:  // Hangul fillers
    case 0x1160:
    case 0x1680:  // Ogham space
    case 0x180E:  // Mongolian vowel separator
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:  // ideographic space
    case 0x3164:  // Hangul filler
    case 0xFEFF:  // byte-order mark, zero-width no-break space
    case 0xFFA0:  // half-width Hangul filler
      return true;
    default:
      break;
  }
  if (c >= 0x2000 && c <= 0x200F) return true;    // spaces, zero-width characters, marks
  if (c >= 0x202A && c <= 0x202E) return true;    // direction embeddings
  if (c >= 0x2060 && c <= 0x206F) return true;    // word joiner, invisible operators
  if (c >= 0xFE00 && c <= 0xFE0F) return true;    // variation selectors
  if (c >= 0xE0000 && c <= 0xE0FFF) return true;  // tags, variation selectors supplement
  return false;
}

uint32_t FoldChar(uint32_t c) {
  if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;  // full-width ASCII
  if (c >= 'A' && c <= 'Z') return c + 32;
  // Latin-1 capitals, Greek and Cyrillic capitals: their small forms.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

// Decodes the character at `i`; 0 bytes taken for a byte that starts none.
size_t Decode(std::string_view s, size_t i, uint32_t& c) {
  const auto b = static_cast<unsigned char>(s[i]);
  if (b < 0x80) {
    c = b;
    return 1;
  }
  size_t n;
  uint32_t min;
  if ((b & 0xE0) == 0xC0) {
    n = 2, c = b & 0x1F, min = 0x80;
  } else if ((b & 0xF0) == 0xE0) {
    n = 3, c = b & 0x0F, min = 0x800;
  } else if ((b & 0xF8) == 0xF0) {
    n = 4, c = b & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (size_t k = 1; k < n; ++k) {
    const auto x = static_cast<unsigned char>(s[i + k]);
    if ((x & 0xC0) != 0x80) return 0;
    c = (c << 6) | (x & 0x3F);
  }
  if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  return n;
}

bool Blank(uint32_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0xA0 || c == 0x3000 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x1680;
}

// Writes through a pointer into room made beforehand: folding never makes a
// character longer (full-width forms shrink, case pairs keep their length),
// and this runs on every message.
void FoldPlain(std::string_view text, std::string& out, bool keepBlanks = false) {
  const size_t start = out.size();
  out.resize(start + text.size());
  char* const begin = out.data();
  char* w = begin + start;
  auto lastIsSpace = [&] { return w == begin || w[-1] == ' '; };
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {  // the common case, one table-free step
      if (b > 0x20 && b != 0x7F)
        *w++ = static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b);
      else if (keepBlanks && Blank(b) && !lastIsSpace())
        *w++ = ' ';
      ++i;
      continue;
    }
    uint32_t c = 0;
    const size_t n = Decode(text, i, c);
    if (n == 0) {
      ++i;
      continue;
    }
    i += n;
    if (!Invisible(c)) {
      c = FoldChar(c);
      if (c < 0x80) {
        *w++ = static_cast<char>(c);
      } else if (c < 0x800) {
        *w++ = static_cast<char>(0xC0 | (c >> 6));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
      } else if (c < 0x10000) {
        *w++ = static_cast<char>(0xE0 | (c >> 12));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
      } else {
        *w++ = static_cast<char>(0xF0 | (c >> 18));
        *w++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *w++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *w++ = static_cast<char>(0x80 | (c & 0x3F));
      }
    } else if (keepBlanks && Blank(c) && !lastIsSpace()) {
      *w++ = ' ';
    }
  }
  out.resize(static_cast<size_t>(w - begin));
}

// The CQ escapes of text outside codes.
void Unescape(std::string_view text, std::string& out, bool keepBlanks) {
  std::string plain;
  for (size_t i = 0; i < text.size();) {
    if (text[i] == '&') {
      if (text.compare(i, 5, "&amp;") == 0) {
        plain += '&', i += 5;
        continue;
      }
      if (text.compare(i, 5, "&#91;") == 0) {
        plain += '[', i += 5;
        continue;
      }
      if (text.compare(i, 5, "&#93;") == 0) {
        plain += ']', i += 5;
        continue;
      }
      if (text.compare(i, 5, "&#44;") == 0) {
        plain += ',', i += 5;
        continue;
      }
    }
    plain += text[i++];
  }
  FoldPlain(plain, out, keepBlanks);
}

}  // namespace

static void FoldCodes(std::string_view text, std::string& out, bool keepBlanks) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    const size_t code = text.find("[CQ:", i);
    const std::string_view part =
        text.substr(i, code == std::string_view::npos ? text.npos : code - i);
    if (part.find('&') == std::string_view::npos)
      FoldPlain(part, out, keepBlanks);
    else
      Unescape(part, out, keepBlanks);
    if (code == std::string_view::npos) break;
    const size_t end = text.find(']', code);
    if (end == std::string_view::npos) break;  // an unfinished code shows nothing either
    i = end + 1;
    if (keepBlanks && !out.empty() && out.back() != ' ') out += ' ';  // a code separates words
  }
}

void FoldInto(std::string_view text, std::string& out) { FoldCodes(text, out, false); }

void FoldKeepingBlanks(std::string_view text, std::string& out) { FoldCodes(text, out, true); }

std::string Fold(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  FoldInto(text, out);
  return out;
}

std::string FoldWord(std::string_view word) {
  std::string out;
  FoldPlain(word, out);
  return out;
}

}  // namespace bw::automod
