#include "util/charset.h"

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

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
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
