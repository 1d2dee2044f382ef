// PCRE2 in UTF mode with its JIT: it matches characters of UTF-8 text directly
// and is far faster than std::regex on a day's log (see bench/regex_count).
// Options bring it close to the ECMAScript dialect: JavaScript escapes (\u, \x),
// "$" only at the very end unless multiline, and the line terminators of
// JavaScript (CR, LF, CRLF, U+2028, U+2029) as newlines.
#if !defined(_WIN32)  // regex_matcher_win.cpp serves Windows
#define PCRE2_CODE_UNIT_WIDTH 8
#include "web/regex_matcher.h"

#include <pcre2.h>

#include <memory>

#include "util/charset.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

struct CodeFree {
  void operator()(pcre2_code* c) const { pcre2_code_free(c); }
};
struct MatchDataFree {
  void operator()(pcre2_match_data* m) const { pcre2_match_data_free(m); }
};
struct CompileContextFree {
  void operator()(pcre2_compile_context* c) const { pcre2_compile_context_free(c); }
};
struct MatchContextFree {
  void operator()(pcre2_match_context* c) const { pcre2_match_context_free(c); }
};
struct JitStackFree {
  void operator()(pcre2_jit_stack* s) const { pcre2_jit_stack_free(s); }
};

std::string ErrorText(int code) {
  PCRE2_UCHAR buffer[256];
  pcre2_get_error_message(code, buffer, sizeof buffer);
  return reinterpret_cast<const char*>(buffer);
}

// Length of the UTF-8 character at `at` (1 for a stray byte).
size_t CharLength(std::string_view text, size_t at) {
  const auto b = static_cast<unsigned char>(text[at]);
  size_t n = b < 0xC0 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
  return at + n <= text.size() ? n : 1;
}

}  // namespace

bool RegexMatcher::run(std::string_view text, std::string_view pattern) {
  matches_.clear();
  text_.assign(text);
  const std::string source =
      substituteQuote ? ReplaceAll(pattern, "#引号", "\"") : std::string(pattern);

  std::unique_ptr<pcre2_compile_context, CompileContextFree> compileContext(
      pcre2_compile_context_create(nullptr));
  pcre2_set_newline(compileContext.get(), PCRE2_NEWLINE_ANY);
  pcre2_set_compile_extra_options(compileContext.get(), PCRE2_EXTRA_ALT_BSUX);
  // Valid UTF-8 (the usual case) runs on the JIT without further checks. Text
  // with stray bytes runs on the interpreter in invalid-UTF mode, where such
  // bytes never match: this PCRE2's JIT mismatches "\D" in that mode.
  const bool validText = IsValidUtf8(text_);
  uint32_t options = PCRE2_UTF | PCRE2_ALT_BSUX;
  if (!validText) options |= PCRE2_MATCH_INVALID_UTF;
  if (ignoreCase) options |= PCRE2_CASELESS;
  options |= multiline ? PCRE2_MULTILINE : PCRE2_DOLLAR_ENDONLY;

  int error = 0;
  PCRE2_SIZE errorOffset = 0;
  std::unique_ptr<pcre2_code, CodeFree> code(
      pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source.data()), source.size(), options, &error,
                    &errorOffset, compileContext.get()));
  if (!code) {
    LogWarning("regular expression does not compile at offset " + std::to_string(errorOffset) +
               ": " + ErrorText(error) + ": " + source);
    return false;
  }
  const bool jit = validText && pcre2_jit_compile(code.get(), PCRE2_JIT_COMPLETE) == 0;
  std::unique_ptr<pcre2_match_context, MatchContextFree> matchContext(
      pcre2_match_context_create(nullptr));
  std::unique_ptr<pcre2_jit_stack, JitStackFree> jitStack;
  if (jit) {
    jitStack.reset(pcre2_jit_stack_create(32 * 1024, 4 * 1024 * 1024, nullptr));
    if (jitStack) pcre2_jit_stack_assign(matchContext.get(), nullptr, jitStack.get());
  }
  std::unique_ptr<pcre2_match_data, MatchDataFree> data(
      pcre2_match_data_create_from_pattern(code.get(), nullptr));

  const auto* subject = reinterpret_cast<PCRE2_SPTR>(text_.data());
  size_t offset = 0;
  const uint32_t always = validText ? PCRE2_NO_UTF_CHECK : 0;
  uint32_t flags = 0;
  while (offset <= text_.size()) {
    int rc = pcre2_match(code.get(), subject, text_.size(), offset, flags | always, data.get(),
                         matchContext.get());
    if (rc == PCRE2_ERROR_NOMATCH) {
      if (flags == 0) break;
      // No non-empty match at an empty match's place: step over one character.
      flags = 0;
      if (offset >= text_.size()) break;
      offset += text_.compare(offset, 2, "\r\n") == 0 ? 2 : CharLength(text_, offset);
      continue;
    }
    if (rc < 0) {
      LogWarning("regular expression failed while matching: " + ErrorText(rc) + ": " + source);
      matches_.clear();
      return false;
    }
    const PCRE2_SIZE* ovector = pcre2_get_ovector_pointer(data.get());
    matches_.emplace_back(ovector[0], ovector[1] - ovector[0]);
    if (!global) break;
    offset = ovector[1];
    // After an empty match look for a non-empty one at the same place first.
    flags = ovector[0] == ovector[1] ? PCRE2_NOTEMPTY_ATSTART | PCRE2_ANCHORED : 0;
  }
  return true;
}

std::string RegexMatcher::matchText(size_t i) const {
  const auto [at, length] = matches_.at(i);
  return text_.substr(at, length);
}

}  // namespace bw
#endif  // !_WIN32
