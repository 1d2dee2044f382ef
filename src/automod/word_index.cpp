#include "automod/word_index.h"

namespace bw::automod {

void WordIndex::add(std::string word, uint32_t tag) {
  if (word.empty()) return;
  const auto* p = reinterpret_cast<const unsigned char*>(word.data());
  const size_t len = word.size() < 3 ? word.size() : 3;
  const uint32_t index = static_cast<uint32_t>(words_.size());
  byKey_[Key(p, len)].push_back(index);
  auto set = [](std::vector<uint64_t>& bits, uint32_t b) {
    bits[b >> 6] |= uint64_t{1} << (b & 63);
  };
  if (len == 3) {
    set(bits3_, Bit3(p));
    any3_ = true;
  } else if (len == 2) {
    set(bits2_, p[0] | (p[1] << 8));
    any2_ = true;
  } else {
    set(bits1_, p[0]);
    any1_ = true;
  }
  words_.push_back(Entry{std::move(word), tag});
}

}  // namespace bw::automod
