// WordIndex: every "contains" word of every rule in one structure, searched in
// one pass over the folded message. Each word is filed under its first (up to)
// three bytes; a bitmap of those prefixes lets the scan skip nearly every
// position of a clean message with one lookup, and only a prefix that some word
// starts with costs a comparison. Built once per rule-set change.
//
// Thread-safety: immutable after build; find() from any thread.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bw::automod {

class WordIndex {
 public:
  // `word` is folded already and not empty; `tag` is returned on a hit.
  void add(std::string word, uint32_t tag);
  bool empty() const { return words_.empty(); }
  size_t size() const { return words_.size(); }

  // Calls `hit(tag, word)` for every word found in `text` (at every place it
  // starts; a word twice in the text, twice). Stops early when hit returns false.
  template <typename Hit>
  void find(std::string_view text, Hit&& hit) const;

 private:
  struct Entry {
    std::string word;
    uint32_t tag;
  };
  static uint32_t Key(const unsigned char* p, size_t n) {
    uint32_t k = static_cast<uint32_t>(n) << 24;
    for (size_t i = 0; i < n; ++i) k |= static_cast<uint32_t>(p[i]) << (8 * i);
    return k;
  }
  static uint32_t Bit3(const unsigned char* p) {
    const uint32_t k = p[0] | (p[1] << 8) | (p[2] << 16);
    return (k * 2654435761u) >> (32 - kBits3);
  }
  static constexpr int kBits3 = 20;

  std::vector<Entry> words_;
  std::unordered_map<uint32_t, std::vector<uint32_t>> byKey_;  // key -> indexes in words_
  std::vector<uint64_t> bits1_ = std::vector<uint64_t>(256 / 64);
  std::vector<uint64_t> bits2_ = std::vector<uint64_t>(65536 / 64);
  std::vector<uint64_t> bits3_ = std::vector<uint64_t>((1u << kBits3) / 64);
  bool any1_ = false, any2_ = false, any3_ = false;
};

template <typename Hit>
void WordIndex::find(std::string_view text, Hit&& hit) const {
  if (words_.empty()) return;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const size_t n = text.size();
  auto test = [](const std::vector<uint64_t>& bits, uint32_t b) {
    return (bits[b >> 6] >> (b & 63)) & 1;
  };
  auto candidates = [&](size_t i, size_t len) {
    const auto it = byKey_.find(Key(p + i, len));
    if (it == byKey_.end()) return true;
    for (uint32_t w : it->second) {
      const Entry& e = words_[w];
      if (e.word.size() <= n - i && std::memcmp(e.word.data(), p + i, e.word.size()) == 0)
        if (!hit(e.tag, std::string_view(e.word))) return false;
    }
    return true;
  };
  for (size_t i = 0; i < n; ++i) {
    if ((p[i] & 0xC0) == 0x80) continue;  // words start on a character
    if (any3_ && i + 3 <= n && test(bits3_, Bit3(p + i)) && !candidates(i, 3)) return;
    if (any2_ && i + 2 <= n && test(bits2_, p[i] | (p[i + 1] << 8)) && !candidates(i, 2)) return;
    if (any1_ && test(bits1_, p[i]) && !candidates(i, 1)) return;
  }
}

}  // namespace bw::automod
