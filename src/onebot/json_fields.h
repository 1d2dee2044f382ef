// Lenient readers of OneBot JSON fields: implementations disagree on whether
// numbers arrive as numbers or as decimal text, so both are accepted.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "onebot/connection.h"

namespace bw::onebot {

// A number, or text made only of an optional "-" and digits; nullopt otherwise
// (also when the key is missing or the value does not fit 64 bits).
std::optional<int64_t> IntField(const Json& object, std::string_view key);
// Text as given; numbers as decimal text; "" for anything else.
std::string TextField(const Json& object, std::string_view key);
// true/false, 1/0, "true"/"1"; `fallback` for anything else.
bool BoolField(const Json& object, std::string_view key, bool fallback = false);

// One frame of the implementation (or one line of a replayed file) read as
// JSON. Texts nested more than kMaxJsonNesting levels deep are refused before
// parsing, as nothing could walk them without exhausting the stack. An escaped
// lone surrogate ("\ud800") is read as the replacement character U+FFFD.
struct ParsedFrame {
  Json value;            // discarded when the text is no JSON or too deep
  bool tooDeep = false;  // refused for its nesting, not parsed
  bool ok() const { return !value.is_discarded(); }
};
ParsedFrame ParseFrame(std::string_view text);

// `text` (JSON) with every "\uXXXX" escape of a lone UTF-16 surrogate replaced
// by "\ufffd", the replacement character; well-formed pairs are kept.
std::string ReplaceLoneSurrogates(std::string_view text);

// At most about 200 bytes of `text`, cut on a character boundary (log lines).
std::string Excerpt(std::string_view text);

}  // namespace bw::onebot
