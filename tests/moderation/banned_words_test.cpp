#include "moderation/banned_words.h"

#include <gtest/gtest.h>

#include <random>

#include "util/log.h"

namespace bw {
namespace {

// The reference answer: the first listed word found in the text.
std::optional<size_t> Naive(const std::vector<std::string>& words, std::string_view text) {
  for (size_t i = 0; i < words.size(); ++i)
    if (!words[i].empty() && text.find(words[i]) != std::string_view::npos) return i;
  return std::nullopt;
}

TEST(BannedWords, AgreesWithWordByWordSearchOnRandomLists) {
  SetLogLevel(LogLevel::kError);  // every fallback list says so
  // A small alphabet of one-, two- and three-byte characters makes overlapping
  // words, shared prefixes, words inside words and duplicates frequent.
  const std::vector<std::string> alphabet = {"a", "b", "Q", "q", "é", "微", "信", "联", "系"};
  std::mt19937 rng(20261207);
  auto randomText = [&](size_t maxChars) {
    std::string s;
    size_t n = rng() % (maxChars + 1);
    for (size_t i = 0; i < n; ++i) s += alphabet[rng() % alphabet.size()];
    return s;
  };
  size_t hits = 0, notFirstInText = 0;
  for (int round = 0; round < 300; ++round) {
    std::vector<std::string> words;
    size_t count = 1 + rng() % 12;
    for (size_t i = 0; i < count; ++i) words.push_back(randomText(4));
    BannedWords compiled(words);
    BannedWords fallback(words, /*maxTableEntries=*/0);
    ASSERT_TRUE(compiled.compiled());
    ASSERT_FALSE(fallback.compiled());
    for (int t = 0; t < 40; ++t) {
      std::string text = randomText(30);
      auto expected = Naive(words, text);
      ASSERT_EQ(compiled.firstMatch(text), expected) << "text " << text;
      ASSERT_EQ(fallback.firstMatch(text), expected) << "text " << text;
      if (expected) {
        ++hits;
        // Count cases where list order differs from text order.
        size_t earliest = text.find(words[*expected]);
        for (const auto& w : words)
          if (!w.empty() && text.find(w) < earliest) {
            ++notFirstInText;
            break;
          }
      }
    }
  }
  // The random cases really exercised both answers.
  EXPECT_GT(hits, 1000u);
  EXPECT_GT(notFirstInText, 100u);
  SetLogLevel(LogLevel::kInfo);
}

TEST(BannedWords, ListOrderWinsOverTextOrderAndCaseCounts) {
  BannedWords words({"微信", "QQ", "电话", "微信"});
  EXPECT_EQ(words.firstMatch("先打电话再加微信"), 0u);
  EXPECT_EQ(words.firstMatch("电话 QQ"), 1u);
  EXPECT_EQ(words.firstMatch("加我qq"), std::nullopt);
  EXPECT_EQ(words.firstMatch(""), std::nullopt);
}

TEST(BannedWords, NeverMatchesAcrossCharacterBoundaries) {
  // In GBK the second byte of 信 and the first of 电 together spell 诺; on
  // UTF-8 text the word must not be found.
  BannedWords words({"诺"});
  EXPECT_EQ(words.firstMatch("加微信电话"), std::nullopt);
  EXPECT_EQ(words.firstMatch("一诺千金"), 0u);
}

TEST(BannedWords, EditBoxTextSkipsEmptyWordsAndLineBreaks) {
  BannedWords words = BannedWords::FromText("+微信++\r\nQQ\r\n+");
  EXPECT_EQ(words.words(), (std::vector<std::string>{"微信", "QQ"}));
  // An empty word would otherwise match every message.
  EXPECT_EQ(words.firstMatch("你好"), std::nullopt);
  EXPECT_EQ(words.firstMatch("加QQ"), 1u);
  EXPECT_EQ(BannedWords::FromText("").firstMatch("anything"), std::nullopt);
}

}  // namespace
}  // namespace bw
