// What a regular expression cannot match without: for each of its top-level
// alternatives, the longest run of plain characters it must contain. A message
// that holds none of them cannot match, so the expressions of a rule run only
// when the word scan found one of their literals — a clean message costs no
// regular-expression search at all.
//
// Conservative: a pattern whose literals cannot be told safely (inline options,
// \Q…\E quoting, an alternative of only classes and groups) gives none, and its
// rule's expressions run on every message.
//
// Thread-safety: pure function.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw::automod {

// The literals (folded like words), one per alternative; nothing when some
// alternative has none or the pattern is beyond this reading.
std::optional<std::vector<std::string>> RequiredLiterals(std::string_view pattern);

}  // namespace bw::automod
