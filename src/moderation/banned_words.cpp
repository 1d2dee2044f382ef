#include "moderation/banned_words.h"

#include <algorithm>

#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

std::string_view TrimLineBreaks(std::string_view word) {
  while (!word.empty() && (word.front() == '\r' || word.front() == '\n')) word.remove_prefix(1);
  while (!word.empty() && (word.back() == '\r' || word.back() == '\n')) word.remove_suffix(1);
  return word;
}

}  // namespace

BannedWords::BannedWords(std::vector<std::string> words, size_t maxTableEntries)
    : words_(std::move(words)) {
  compile(maxTableEntries);
}

BannedWords BannedWords::FromText(std::string_view text) {
  std::vector<std::string> words;
  for (const std::string& piece : Split(text, "+")) {
    std::string_view word = TrimLineBreaks(piece);
    if (!word.empty()) words.emplace_back(word);
  }
  return BannedWords(std::move(words));
}

void BannedWords::compile(size_t maxTableEntries) {
  bool used[256] = {};
  for (const std::string& w : words_)
    for (unsigned char b : w) used[b] = true;
  classCount_ = 1;  // class 0: bytes that occur in no word
  for (int b = 0; b < 256; ++b) classOf_[b] = used[b] ? static_cast<uint16_t>(classCount_++) : 0;

  const size_t c = classCount_;
  const size_t width = c + 1;  // a row of the final table: the output, then the transitions
  maxTableEntries = std::min<size_t>(maxTableEntries, UINT32_MAX);  // offsets are 32-bit
  if (width > maxTableEntries) {
    LogWarning("banned-word list too large for the automaton (" + std::to_string(words_.size()) +
               " words); searching word by word");
    return;
  }
  // During construction 0 in delta means "no child" (the root is nobody's child).
  std::vector<uint32_t> delta(c, 0);         // state * c + class → state
  std::vector<uint32_t> output(1, kNoWord);  // smallest word index recognised in the state
  for (size_t i = 0; i < words_.size(); ++i) {
    const std::string& w = words_[i];
    if (w.empty()) continue;
    uint32_t state = 0;
    for (unsigned char b : w) {
      uint32_t& next = delta[state * c + classOf_[b]];
      if (next == 0) {
        if ((output.size() + 1) * width > maxTableEntries) {
          LogWarning("banned-word list too large for the automaton (" +
                     std::to_string(words_.size()) + " words); searching word by word");
          return;
        }
        next = static_cast<uint32_t>(output.size());
        output.push_back(kNoWord);
        delta.resize(delta.size() + c, 0);
      }
      state = delta[state * c + classOf_[b]];
    }
    output[state] = std::min<uint32_t>(output[state], static_cast<uint32_t>(i));
  }

  // Breadth-first: every state's failure state is shallower, so its row of the
  // table is complete by the time the state itself is filled in.
  std::vector<uint32_t> fail(output.size(), 0);
  std::vector<uint32_t> queue;
  queue.reserve(output.size());
  for (size_t k = 0; k < c; ++k)
    if (uint32_t child = delta[k]; child != 0) queue.push_back(child);
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t s = queue[head];
    const uint32_t f = fail[s];
    output[s] = std::min(output[s], output[f]);
    for (size_t k = 0; k < c; ++k) {
      uint32_t& next = delta[s * c + k];
      if (next != 0) {
        fail[next] = delta[f * c + k];
        queue.push_back(next);
      } else {
        next = delta[f * c + k];
      }
    }
  }

  // The search walks row offsets (no multiplication) and finds a state's
  // output beside its transitions, in the same cache line.
  table_.resize(output.size() * width);
  for (size_t st = 0; st < output.size(); ++st) {
    table_[st * width] = output[st];
    for (size_t k = 0; k < c; ++k)
      table_[st * width + 1 + k] = static_cast<uint32_t>(delta[st * c + k] * width);
  }
  for (uint16_t& cls : classOf_) ++cls;
}

std::optional<size_t> BannedWords::firstMatch(std::string_view text) const {
  if (table_.empty()) {
    for (size_t i = 0; i < words_.size(); ++i)
      if (!words_[i].empty() && text.find(words_[i]) != std::string_view::npos) return i;
    return std::nullopt;
  }
  const uint32_t* table = table_.data();
  uint32_t row = 0;
  uint32_t best = kNoWord;
  for (unsigned char b : text) {
    row = table[row + classOf_[b]];
    if (table[row] < best) {
      best = table[row];
      if (best == 0) break;
    }
  }
  if (best == kNoWord) return std::nullopt;
  return best;
}

}  // namespace bw
