// BannedWords: a banned-word list searched in one pass over the message.
//
// The answer is the first word in LIST order that occurs anywhere in the text
// (not the word that occurs first in the text), matched byte for byte and
// case-sensitively. Both the words and the text are UTF-8, so a word can only
// match on character boundaries. Empty words never match.
//
// The list is compiled into an Aho–Corasick automaton with a full transition
// table over byte classes; a list so large that the table would not fit its
// memory budget is searched word by word instead, with the same answers.
//
// Thread-safety: immutable after construction; any number of threads may search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

class BannedWords {
 public:
  // The words in list order (duplicates allowed; the first one counts).
  explicit BannedWords(std::vector<std::string> words,
                       size_t maxTableEntries = kDefaultMaxTableEntries);
  // The edit-box form: words separated by "+"; line breaks around a word are
  // dropped, empty words are skipped.
  static BannedWords FromText(std::string_view text);

  // Index (in list order) of the first listed word occurring in `text`.
  std::optional<size_t> firstMatch(std::string_view text) const;

  const std::vector<std::string>& words() const { return words_; }
  // True when the automaton is used (false: the word-by-word fallback).
  bool compiled() const { return !table_.empty(); }

  // 16M entries of 4 bytes: 64 MB.
  static constexpr size_t kDefaultMaxTableEntries = size_t{1} << 24;

 private:
  static constexpr uint32_t kNoWord = UINT32_MAX;

  void compile(size_t maxTableEntries);

  std::vector<std::string> words_;
  // 1 + the byte's class (class 0: bytes in no word) once compiled.
  uint16_t classOf_[256] = {};
  size_t classCount_ = 1;
  // One row per state: the smallest word index recognised there (or kNoWord),
  // then per class the row offset of the next state.
  std::vector<uint32_t> table_;
};

}  // namespace bw
