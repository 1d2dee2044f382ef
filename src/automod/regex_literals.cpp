#include "automod/regex_literals.h"

#include "automod/fold.h"

namespace bw::automod {

namespace {

bool Meta(char c) {
  switch (c) {
    case '\\':
    case '^':
    case '$':
    case '.':
    case '|':
    case '?':
    case '*':
    case '+':
    case '(':
    case ')':
    case '[':
    case ']':
    case '{':
    case '}':
      return true;
    default:
      return false;
  }
}

bool Quantifier(char c) { return c == '?' || c == '*' || c == '+' || c == '{'; }

size_t CharLength(std::string_view s, size_t i) {
  const auto b = static_cast<unsigned char>(s[i]);
  const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  return i + n <= s.size() ? n : 1;
}

// Characters whose case the folding knows, or that have none: a literal of
// others might match a differently cased text under the caseless search.
bool Foldable(std::string_view ch) {
  const auto b = static_cast<unsigned char>(ch[0]);
  if (b < 0x80) return true;
  if (b >= 0xE3) return true;  // U+3000 and beyond: CJK and the like, no case
  return false;
}

// Splits at the top-level bars; false when brackets do not pair up.
bool Alternatives(std::string_view p, std::vector<std::string_view>& out) {
  int depth = 0;
  bool inClass = false;
  size_t start = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    const char c = p[i];
    if (c == '\\') {
      ++i;
      continue;
    }
    if (inClass) {
      if (c == ']') inClass = false;
      continue;
    }
    if (c == '[') {
      inClass = true;
      if (i + 1 < p.size() && p[i + 1] == ']') ++i;  // "[]…]": the bracket is a member
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      if (--depth < 0) return false;
    } else if (c == '|' && depth == 0) {
      out.push_back(p.substr(start, i - start));
      start = i + 1;
    }
  }
  if (depth != 0 || inClass) return false;
  out.push_back(p.substr(start));
  return true;
}

// The longest run of characters that must appear, in one alternative.
std::string LongestRun(std::string_view b) {
  std::string best, run;
  auto end = [&] {
    if (run.size() > best.size()) best = run;
    run.clear();
  };
  for (size_t i = 0; i < b.size();) {
    const char c = b[i];
    if (c == '(' || c == '[') {
      end();
      // Skip the group or class whole.
      int depth = 0;
      bool inClass = false;
      size_t j = i;
      for (; j < b.size(); ++j) {
        const char d = b[j];
        if (d == '\\') {
          ++j;
          continue;
        }
        if (inClass) {
          if (d == ']') inClass = false;
          if (d == ']' && depth == 0) break;
          continue;
        }
        if (d == '[') {
          inClass = true;
          if (j + 1 < b.size() && b[j + 1] == ']') ++j;
        } else if (d == '(') {
          ++depth;
        } else if (d == ')' && --depth == 0) {
          break;
        }
      }
      i = j + 1;
      continue;
    }
    std::string ch;
    size_t len = 0;
    if (c == '\\') {
      if (i + 1 >= b.size()) break;
      const char e = b[i + 1];
      const bool punct =
          !((e >= '0' && e <= '9') || (e >= 'a' && e <= 'z') || (e >= 'A' && e <= 'Z'));
      if (!punct || static_cast<unsigned char>(e) >= 0x80) {
        end();  // \d, \w, \b, \x41 …: no plain character here
        i += 2;
        continue;
      }
      ch.assign(1, e);
      len = 2;
    } else if (Meta(c)) {
      end();
      ++i;
      if (c == '{') {
        // A repetition count ("{2,5}") holds no characters of the text.
        const size_t close = b.find('}', i);
        if (close != std::string_view::npos &&
            b.substr(i, close - i).find_first_not_of("0123456789,") == std::string_view::npos)
          i = close + 1;
      }
      continue;
    } else {
      len = CharLength(b, i);
      ch.assign(b.substr(i, len));
    }
    i += len;
    if (i < b.size() && Quantifier(b[i])) {
      // The character may be absent (or repeated): the run ends before it.
      end();
      continue;
    }
    if (!Foldable(ch)) {
      end();
      continue;
    }
    run += ch;
  }
  end();
  return FoldWord(best);
}

}  // namespace

std::optional<std::vector<std::string>> RequiredLiterals(std::string_view pattern) {
  if (pattern.find("(?") != std::string_view::npos ||
      pattern.find("\\Q") != std::string_view::npos ||
      pattern.find("\\E") != std::string_view::npos)
    return std::nullopt;
  std::vector<std::string_view> alternatives;
  if (!Alternatives(pattern, alternatives)) return std::nullopt;
  std::vector<std::string> out;
  for (std::string_view a : alternatives) {
    std::string literal = LongestRun(a);
    if (literal.empty()) return std::nullopt;
    out.push_back(std::move(literal));
  }
  return out;
}

}  // namespace bw::automod
