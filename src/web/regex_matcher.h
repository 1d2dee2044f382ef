// RegexMatcher: a regular expression in the ECMAScript dialect run over UTF-8
// text, matching characters (not bytes): "\D" takes one whole character.
// Flags: ignore case, multiline ("^"/"$" at line breaks) and global (all
// matches), all on by default.
//
// Thread-safety: one thread at a time per object.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace bw {

class RegexMatcher {
 public:
  bool ignoreCase = true;
  bool multiline = true;
  bool global = true;
  // When set, "#引号" in the pattern stands for a double quote.
  bool substituteQuote = false;

  // Finds the matches of `pattern` in `text` (non-overlapping, left to right;
  // only the first without `global`). False when the pattern does not compile
  // (logged); count() is then 0.
  bool run(std::string_view text, std::string_view pattern);

  size_t count() const { return matches_.size(); }
  // Byte offset and length in the text of match i.
  std::pair<size_t, size_t> match(size_t i) const { return matches_.at(i); }
  std::string matchText(size_t i) const;

 private:
  std::string text_;
  std::vector<std::pair<size_t, size_t>> matches_;
};

}  // namespace bw
