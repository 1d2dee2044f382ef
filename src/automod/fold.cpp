#include "automod/fold.h"

#include "util/fold.h"

namespace bw::automod {

namespace {

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
  AppendFolded(plain, out, keepBlanks);
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
      AppendFolded(part, out, keepBlanks);
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

std::string FoldWord(std::string_view word) { return FoldText(word); }

}  // namespace bw::automod
