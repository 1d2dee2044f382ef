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

}  // namespace
}  // namespace bw
