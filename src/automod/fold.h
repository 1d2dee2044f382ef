// Text folding: what words, repeats and raids compare, so that trivial
// evasions do not pass. The text is folded as util/fold.h folds plain text
// ("加 我 微 信", "加\u200b我微信" and "ＶＸ" fold to "加我微信" and "vx");
// besides, CQ codes (mentions, faces, images) are removed and their escapes
// decoded, so "加[CQ:face,id=1]我" folds to "加我".
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

namespace bw::automod {

// Folds `text` into `out` (cleared first; its capacity is reused).
void FoldInto(std::string_view text, std::string& out);
std::string Fold(std::string_view text);
// As FoldInto, but each run of blanks stays as one space: where words end
// matters (links: "abc.com 和" is not the domain "abc.com和").
void FoldKeepingBlanks(std::string_view text, std::string& out);
// Folds one word of a list: as FoldInto, but a word is plain text (no CQ codes).
std::string FoldWord(std::string_view word);

}  // namespace bw::automod
