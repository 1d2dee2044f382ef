// Text folding: the form in which texts are compared so that trivial evasions
// and typing differences do not count. Full-width letters, digits and
// punctuation become ASCII; letters are case-folded (ASCII, Latin-1, Greek,
// Cyrillic); blanks and zero-width or otherwise invisible characters are
// removed ("加 我 微 信", "加\u200b我微信" and "ＶＸ" fold to "加我微信" and
// "vx"). Bytes that are no UTF-8 are dropped. Folding never makes a text
// longer.
//
// This folds plain text; texts with CQ codes are folded by the rules that know
// them (automod/fold.h).
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace bw {

// Appends the folded form of `text` to `out`. With `keepBlanks`, each run of
// blanks (and a blank at the start of `text` after a non-blank in `out`) stays
// as one space, for where words end matters.
void AppendFolded(std::string_view text, std::string& out, bool keepBlanks = false);
std::string FoldText(std::string_view text);

}  // namespace bw
