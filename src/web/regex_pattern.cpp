// PCRE2 with its JIT, compiled once: a list of patterns run on every message
// cannot afford RegexMatcher's compile per call.
#if !defined(_WIN32)  // regex_pattern_win.cpp serves Windows
#define PCRE2_CODE_UNIT_WIDTH 8
#include "web/regex_pattern.h"

#include <pcre2.h>

#include "util/charset.h"

namespace bw {

namespace {

// Enough for any sane pattern on a message; a catastrophic one stops here
// instead of holding the worker.
constexpr uint32_t kMatchLimit = 1'000'000;

// Per thread: the match data (one pair is enough to learn "matched") and a
// JIT stack, so a search allocates nothing.
struct ThreadScratch {
  pcre2_match_data* data = pcre2_match_data_create(1, nullptr);
  pcre2_jit_stack* stack = pcre2_jit_stack_create(32 * 1024, 1024 * 1024, nullptr);
  pcre2_match_context* context = pcre2_match_context_create(nullptr);
  ThreadScratch() {
    pcre2_set_match_limit(context, kMatchLimit);
    if (stack) pcre2_jit_stack_assign(context, nullptr, stack);
  }
  ~ThreadScratch() {
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(stack);
    pcre2_match_data_free(data);
  }
};

ThreadScratch& Scratch() {
  thread_local ThreadScratch scratch;
  return scratch;
}

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  pcre2_get_error_message(code, buffer, sizeof buffer);
  return reinterpret_cast<const char*>(buffer);
}

}  // namespace

struct RegexPattern::Impl {
  std::string pattern;
  std::string error;
  pcre2_code* code = nullptr;
  ~Impl() {
    if (code) pcre2_code_free(code);
  }
};

RegexPattern::RegexPattern(std::string_view pattern) : impl_(std::make_unique<Impl>()) {
  impl_->pattern.assign(pattern);
  pcre2_compile_context* cc = pcre2_compile_context_create(nullptr);
  pcre2_set_newline(cc, PCRE2_NEWLINE_ANY);
  pcre2_set_compile_extra_options(cc, PCRE2_EXTRA_ALT_BSUX);
  int error = 0;
  PCRE2_SIZE offset = 0;
  impl_->code = pcre2_compile(
      reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
      PCRE2_UTF | PCRE2_ALT_BSUX | PCRE2_CASELESS | PCRE2_MULTILINE | PCRE2_MATCH_INVALID_UTF,
      &error, &offset, cc);
  pcre2_compile_context_free(cc);
  if (!impl_->code) {
    impl_->error = "at " + std::to_string(offset) + ": " + ErrorText(error);
    return;
  }
  pcre2_jit_compile(impl_->code, PCRE2_JIT_COMPLETE);  // the interpreter serves when it fails
}

RegexPattern::~RegexPattern() = default;
RegexPattern::RegexPattern(RegexPattern&&) noexcept = default;
RegexPattern& RegexPattern::operator=(RegexPattern&&) noexcept = default;

bool RegexPattern::ok() const { return impl_->code != nullptr; }
const std::string& RegexPattern::error() const { return impl_->error; }
const std::string& RegexPattern::pattern() const { return impl_->pattern; }

bool RegexPattern::search(std::string_view text, bool* exceeded) const {
  if (exceeded) *exceeded = false;
  if (!impl_->code) return false;
  ThreadScratch& s = Scratch();
  const int rc = pcre2_match(impl_->code, reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(), 0,
                             0, s.data, s.context);
  if (rc >= 0) return true;
  // Text that is no UTF-8 is refused before the search (the JIT runs much
  // slower in the mode that tolerates it): no match, and no limit reached.
  const bool badText = rc <= PCRE2_ERROR_UTF8_ERR1 && rc >= PCRE2_ERROR_UTF8_ERR21;
  if (rc != PCRE2_ERROR_NOMATCH && !badText && exceeded) *exceeded = true;
  return false;
}

}  // namespace bw
#endif  // !_WIN32
