#include "web/json_nesting.h"

namespace bw {

bool JsonNestingWithin(std::string_view text, size_t limit) {
  size_t depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;  // the escaped character cannot end the string
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '/' && i + 1 < text.size() && (text[i + 1] == '/' || text[i + 1] == '*')) {
      // Comments (the lenient readers accept them) may hold quotes and brackets.
      const bool line = text[i + 1] == '/';
      const size_t end = text.find(line ? "\n" : "*/", i + 2);
      if (end == std::string_view::npos) return true;
      i = line ? end : end + 1;
      continue;
    }
    switch (c) {
      case '"':
        inString = true;
        break;
      case '[':
      case '{':
        if (++depth > limit) return false;
        break;
      case ']':
      case '}':
        // Unbalanced closers make the text invalid; the parser says so.
        if (depth > 0) --depth;
        break;
      default:
        break;
    }
  }
  return true;
}

}  // namespace bw
