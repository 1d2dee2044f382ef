#include "util/text.h"

#include <gtest/gtest.h>

#include <limits>

namespace bw {
namespace {

TEST(TextBetweenTest, FindsTextBetweenMarkers) {
  EXPECT_EQ(TextBetween("<b>bold</b>", "<b>", "</b>"), "bold");
  EXPECT_EQ(TextBetween("价格：100元，运费：8元", "：", "元"), "100");
  // The right marker is searched after the left one, not from the start.
  EXPECT_EQ(TextBetween("x]a[b]", "[", "]"), "b");
  EXPECT_EQ(TextBetween("[]", "[", "]"), "");
}

TEST(TextBetweenTest, MissingMarkerGivesEmptyText) {
  EXPECT_EQ(TextBetween("name=abc", "name=", ";"), "");
  EXPECT_EQ(TextBetween("name=abc;", "id=", ";"), "");
  EXPECT_EQ(TextBetween("abc", "", "c"), "");
}

TEST(TextBetweenTest, QuoteTokenStandsForDoubleQuote) {
  const std::string json = R"({"nick":"小明","uin":10001})";
  EXPECT_EQ(TextBetween(json, "#引号nick#引号:#引号", "#引号"), "小明");
  EXPECT_EQ(TextBetween(json, "#引号uin#引号:", "}"), "10001");
}

TEST(TextBetweenTest, StartOffsetSkipsEarlierMarkers) {
  const std::string text = "<i>one</i><i>two</i>";
  EXPECT_EQ(TextBetween(text, "<i>", "</i>", 0), "one");
  EXPECT_EQ(TextBetween(text, "<i>", "</i>", 1), "two");
  EXPECT_EQ(TextBetween(text, "<i>", "</i>", text.size()), "");
  EXPECT_EQ(TextBetween(text, "<i>", "</i>", text.size() + 5), "");
}

TEST(TextBetweenTest, IgnoreCaseAppliesToAsciiLettersOfMarkers) {
  const std::string html = "<TITLE>Group Home</Title>";
  EXPECT_EQ(TextBetween(html, "<title>", "</title>"), "");
  EXPECT_EQ(TextBetween(html, "<title>", "</title>", 0, true), "Group Home");
}

TEST(UrlEncodeTest, KeepSafeLeavesOnlyUnreservedAsciiAlone) {
  EXPECT_EQ(UrlEncode("a b/c", true), "a%20b%2Fc");
  EXPECT_EQ(UrlEncode("Az09-.", true), "Az09-.");
  EXPECT_EQ(UrlEncode("_~*+=&", true), "%5F%7E%2A%2B%3D%26");
  EXPECT_EQ(UrlEncode("A-", false), "%41%2D");
  EXPECT_EQ(UrlEncode("", true), "");
}

TEST(UrlEncodeTest, EncodesUtf8OrGbkBytes) {
  EXPECT_EQ(UrlEncode("天", true, true), "%E5%A4%A9");
  EXPECT_EQ(UrlEncode("天", true, false), "%CC%EC");
  EXPECT_EQ(UrlEncode("群 1", true, false), "%C8%BA%201");
}

TEST(TextToIntTest, ReadsLeadingBlanksSignAndDigits) {
  EXPECT_EQ(TextToInt("42"), 42);
  EXPECT_EQ(TextToInt("  42abc"), 42);
  EXPECT_EQ(TextToInt("\t-7"), -7);
  EXPECT_EQ(TextToInt("+5"), 5);
  EXPECT_EQ(TextToInt("12 34"), 12);
  EXPECT_EQ(TextToInt("007"), 7);
}

TEST(TextToIntTest, NoLeadingDigitsGiveZero) {
  EXPECT_EQ(TextToInt(""), 0);
  EXPECT_EQ(TextToInt("abc12"), 0);
  EXPECT_EQ(TextToInt("- 5"), 0);
  EXPECT_EQ(TextToInt("-"), 0);
  EXPECT_EQ(TextToInt("３"), 0);  // a full-width digit is no digit
}

TEST(TextToIntTest, SaturatesAtInt64Range) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  EXPECT_EQ(TextToInt("9223372036854775807"), kMax);
  EXPECT_EQ(TextToInt("9223372036854775808"), kMax);
  EXPECT_EQ(TextToInt("99999999999999999999x"), kMax);
  EXPECT_EQ(TextToInt("-9223372036854775808"), kMin);
  EXPECT_EQ(TextToInt("-99999999999999999999"), kMin);
}

TEST(TextHelpersTest, ReplaceSplitCountAndContains) {
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");
  EXPECT_EQ(ReplaceAll("a,b,c", ",", ", "), "a, b, c");
  EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
  EXPECT_EQ(Split("", "|"), std::vector<std::string>{""});
  EXPECT_EQ(Split("|1||2|", "|"), (std::vector<std::string>{"", "1", "", "2", ""}));
  EXPECT_EQ(Split("a----b", "--"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(CountOccurrences("[CQ:image][cq:IMAGE]", "[CQ:image", false), 1u);
  EXPECT_EQ(CountOccurrences("[CQ:image][cq:IMAGE]", "[CQ:image", true), 2u);
  EXPECT_EQ(CountOccurrences("aaaa", "aa"), 2u);
  EXPECT_EQ(CountOccurrences("abc", ""), 0u);
  EXPECT_TRUE(Contains("|10001|10002|", "|10002|"));
  EXPECT_FALSE(Contains("|10001|10002|", "|1000|"));
}

TEST(TextHelpersTest, SearchesNeverMatchInsideACharacter) {
  // In GBK "亅" is 81 7C: its second byte is "|", the list separator. Searches run
  // on UTF-8, where no byte of a CJK character is ASCII.
  const std::string nickname = "亅";
  EXPECT_FALSE(Contains(nickname, "|"));
  EXPECT_EQ(Split("|10001|亅|", "|"), (std::vector<std::string>{"", "10001", "亅", ""}));
  EXPECT_EQ(TextBetween("a亅b|c|", "|", "|"), "c");
}

// True when `text` is whole UTF-8 characters (no lead byte without its
// continuation bytes, no stray continuation byte).
bool WholeCharacters(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80    ? 1
                          : lead >= 0xF0 ? 4
                          : lead >= 0xE0 ? 3
                          : lead >= 0xC0 ? 2
                                         : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (size_t k = 1; k < length; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += length;
  }
  return true;
}

TEST(ExcerptTest, ShortTextStaysWhole) {
  EXPECT_EQ(Excerpt("", 10), "");
  EXPECT_EQ(Excerpt("加我微信", 12), "加我微信");
}

TEST(ExcerptTest, LongTextKeepsHeadAndTailWithinTheBoundAtCharacterEdges) {
  // Every bound, so that each cut meets every position inside a character.
  const std::string text = "20001 检测到违规词微信 发送内容是:" + std::string(5000, 'x') +
                           std::string(3000, '\xE5') + "广告" + "踢出失败";
  std::string cjk;
  for (int i = 0; i < 2000; ++i) cjk += "加我微信";
  for (size_t bound = 40; bound < 200; ++bound) {
    const std::string e = Excerpt(cjk, bound);
    EXPECT_LE(e.size(), bound);
    EXPECT_TRUE(WholeCharacters(e)) << bound;
    EXPECT_TRUE(e.starts_with("加我")) << e;
    EXPECT_TRUE(e.ends_with("信")) << e;
  }
  for (const std::string& long_text : {text, cjk}) {
    const std::string e = Excerpt(long_text, 1024);
    EXPECT_LE(e.size(), 1024u);
    EXPECT_GE(e.size(), 1000u);  // the room is used, not wasted
    // The marker says how much is left out: head + left out + tail = the whole.
    const size_t open = e.find("…[");
    const size_t close = e.find(" bytes]…");
    ASSERT_NE(open, std::string::npos);
    ASSERT_NE(close, std::string::npos);
    const size_t omitted = std::stoul(e.substr(open + 4, close - open - 4));
    const size_t tail = e.size() - close - std::string_view(" bytes]…").size();
    EXPECT_EQ(open + omitted + tail, long_text.size());
    EXPECT_EQ(e.substr(0, open), long_text.substr(0, open));
    EXPECT_EQ(e.substr(e.size() - tail), long_text.substr(long_text.size() - tail));
  }
  EXPECT_TRUE(Excerpt(text, 1024).ends_with("踢出失败"));
  // A bound too small for the marker gives a plain head.
  EXPECT_EQ(Excerpt(cjk, 7), "加我");
}

}  // namespace
}  // namespace bw
