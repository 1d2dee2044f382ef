#include "util/fold.h"

#include <cstdint>

#include "util/charset.h"

namespace bw {
namespace {

// Characters that show nothing or only space: removed, so that they cannot
// split a word.
bool Invisible(char32_t c) {
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

char32_t FoldChar(char32_t c) {
  if (c >= 0xFF01 && c <= 0xFF5E) c -= 0xFEE0;  // full-width ASCII
  if (c >= 'A' && c <= 'Z') return c + 32;
  // Latin-1 capitals, Greek and Cyrillic capitals: their small forms.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  return c;
}

bool Blank(char32_t c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == 0xA0 || c == 0x3000 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x1680;
}

}  // namespace

// Writes through a pointer into room made beforehand: folding never makes a
// character longer (full-width forms shrink, case pairs keep their length),
// and the rules run this on every message.
void AppendFolded(std::string_view text, std::string& out, bool keepBlanks) {
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
    char32_t c = 0;
    const size_t n = DecodeUtf8(text, i, c);
    if (n == 0) {
      ++i;
      continue;
    }
    i += n;
    if (!Invisible(c))
      w = EncodeUtf8(FoldChar(c), w);
    else if (keepBlanks && Blank(c) && !lastIsSpace())
      *w++ = ' ';
  }
  out.resize(static_cast<size_t>(w - begin));
}

std::string FoldText(std::string_view text) {
  std::string out;
  AppendFolded(text, out);
  return out;
}

}  // namespace bw
