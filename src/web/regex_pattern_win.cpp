// Windows has no PCRE2 here: the pattern is kept and run through RegexMatcher
// (std::wregex) on each search. Slower, the same answers.
#if defined(_WIN32)
#include "web/regex_matcher.h"
#include "web/regex_pattern.h"

namespace bw {

struct RegexPattern::Impl {
  std::string pattern;
  std::string error;
  bool ok = false;
};

RegexPattern::RegexPattern(std::string_view pattern) : impl_(std::make_unique<Impl>()) {
  impl_->pattern.assign(pattern);
  RegexMatcher m;
  m.global = false;
  impl_->ok = m.run("", pattern);
  if (!impl_->ok) impl_->error = "does not compile";
}

RegexPattern::~RegexPattern() = default;
RegexPattern::RegexPattern(RegexPattern&&) noexcept = default;
RegexPattern& RegexPattern::operator=(RegexPattern&&) noexcept = default;

bool RegexPattern::ok() const { return impl_->ok; }
const std::string& RegexPattern::error() const { return impl_->error; }
const std::string& RegexPattern::pattern() const { return impl_->pattern; }

bool RegexPattern::search(std::string_view text, bool* exceeded) const {
  if (exceeded) *exceeded = false;
  if (!impl_->ok) return false;
  RegexMatcher m;
  m.global = false;
  return m.run(text, impl_->pattern) && m.count() > 0;
}

}  // namespace bw
#endif  // _WIN32
