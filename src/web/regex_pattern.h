// RegexPattern: one regular expression compiled once and searched many times,
// for lists that run on every group message. Same dialect and options as
// RegexMatcher (UTF-8 characters, JavaScript escapes), always ignoring case.
// A search that exceeds the matcher's backtracking limit counts as no match
// and says so through `exceeded`.
//
// Thread-safety: after construction, search() may be called from any thread.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace bw {

class RegexPattern {
 public:
  // Compiles `pattern`; ok() is false and error() says why when it does not.
  explicit RegexPattern(std::string_view pattern);
  ~RegexPattern();
  RegexPattern(RegexPattern&&) noexcept;
  RegexPattern& operator=(RegexPattern&&) noexcept;

  bool ok() const;
  const std::string& error() const;
  const std::string& pattern() const;

  // True when the pattern matches somewhere in `text` (valid UTF-8 expected;
  // stray bytes never match). `exceeded` (when given) is set when the search
  // gave up at the limit.
  bool search(std::string_view text, bool* exceeded = nullptr) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw
