// A cheap look at how deeply a JSON text nests, before it is parsed: a value
// nested a hundred thousand levels deep parses fine but cannot be walked,
// copied or printed without running out of stack, so such texts are refused
// before anything builds a tree from them.
//
// Thread-safety: pure functions.
#pragma once

#include <cstddef>
#include <string_view>

namespace bw {

// Deeper than any real event, answer or reply of the services the robot reads.
inline constexpr size_t kMaxJsonNesting = 100;

// True when no array or object in `text` lies more than `limit` levels deep.
// Brackets inside strings and comments do not count. For text that is no JSON the answer
// only bounds what a parser could build from it.
bool JsonNestingWithin(std::string_view text, size_t limit = kMaxJsonNesting);

}  // namespace bw
