#include "web/regex_matcher.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

const char* kDay =
    "2026-12-7 09:01:02\t123456\t进群\t700001\t0\n"
    "2026-12-7 09:05:00\t123456\t进群\t700002\t800001\n"
    "2026-12-7 10:00:00\t123456\t退群\t700003\t0\n"
    "2026-12-7 11:00:00\t123456\t退群\t700004\t800001\n"
    "2026-12-7 12:00:00\t654321\t进群\t700005\t0\n";

TEST(RegexMatcher, CountsTheStatisticsPatternsPerGroup) {
  RegexMatcher m;
  ASSERT_TRUE(m.run(kDay, "123456\\D进群\\D[1-9][0-9]{4,}"));
  EXPECT_EQ(m.count(), 2u);
  ASSERT_TRUE(m.run(kDay, "123456\\D退群\\D[1-9][0-9]{4,}\\D0"));
  EXPECT_EQ(m.count(), 1u);
  ASSERT_TRUE(m.run(kDay, "123456\\D退群\\D[1-9][0-9]{4,}\\D[1-9][0-9]{4,}"));
  EXPECT_EQ(m.count(), 1u);
  ASSERT_TRUE(m.run(kDay, "654321\\D进群\\D[1-9][0-9]{4,}"));
  EXPECT_EQ(m.count(), 1u);
  EXPECT_EQ(m.matchText(0), "654321\t进群\t700005");
}

TEST(RegexMatcher, NonDigitClassTakesOneCharacterNotOneByte) {
  RegexMatcher m;
  // Each Chinese character is three UTF-8 bytes but one \D.
  ASSERT_TRUE(m.run("1群2 1进群2", "1\\D2"));
  EXPECT_EQ(m.count(), 1u);
  EXPECT_EQ(m.matchText(0), "1群2");
  ASSERT_TRUE(m.run("a天b", "^a.b$"));
  EXPECT_EQ(m.count(), 1u);
  ASSERT_TRUE(m.run("天天天", "\\D{3}"));
  EXPECT_EQ(m.count(), 1u);
  EXPECT_EQ(m.match(0), (std::pair<size_t, size_t>(0, 9)));
}

TEST(RegexMatcher, FlagsIgnoreCaseMultilineGlobal) {
  RegexMatcher m;
  ASSERT_TRUE(m.run("Abc\nabc\nABC", "^abc$"));
  EXPECT_EQ(m.count(), 3u);  // defaults: all three lines, either case

  m.ignoreCase = false;
  ASSERT_TRUE(m.run("Abc\nabc\nABC", "^abc$"));
  EXPECT_EQ(m.count(), 1u);

  m.ignoreCase = true;
  m.multiline = false;
  ASSERT_TRUE(m.run("abc\nabc\n", "^abc$"));
  EXPECT_EQ(m.count(), 0u);  // "$" only at the very end, not before a final line break
  ASSERT_TRUE(m.run("abc\r\nabc", "abc$"));
  EXPECT_EQ(m.count(), 1u);

  m.multiline = true;
  ASSERT_TRUE(m.run("abc\r\nabc\r\n", "c$"));
  EXPECT_EQ(m.count(), 2u);  // CRLF line breaks

  m.global = false;
  ASSERT_TRUE(m.run("x1 x2 x3", "x\\d"));
  EXPECT_EQ(m.count(), 1u);
}

TEST(RegexMatcher, EmptyMatchesAdvanceByWholeCharacters) {
  RegexMatcher m;
  ASSERT_TRUE(m.run("天地", "x*"));
  EXPECT_EQ(m.count(), 3u);  // before, between and after the two characters
  ASSERT_TRUE(m.run("a\r\nb", "^"));
  EXPECT_EQ(m.count(), 2u);
}

TEST(RegexMatcher, EcmaScriptEscapesAndQuoteToken) {
  RegexMatcher m;
  ASSERT_TRUE(m.run("进群 进群", "\\u8FDB\\u7FA4"));
  EXPECT_EQ(m.count(), 2u);
  ASSERT_TRUE(m.run("A", "\\x41"));
  EXPECT_EQ(m.count(), 1u);

  ASSERT_TRUE(m.run("say \"hi\"", "#引号hi#引号"));
  EXPECT_EQ(m.count(), 0u);  // no substitution unless asked
  m.substituteQuote = true;
  ASSERT_TRUE(m.run("say \"hi\"", "#引号hi#引号"));
  EXPECT_EQ(m.count(), 1u);
}

TEST(RegexMatcher, BrokenPatternOrTextFailsCleanly) {
  RegexMatcher m;
  ASSERT_TRUE(m.run("aaa", "a"));
  EXPECT_FALSE(m.run("aaa", "a(b"));
  EXPECT_EQ(m.count(), 0u);
  EXPECT_FALSE(m.run("aaa", "[z-a]"));
  // Stray bytes never match and never stop the scan.
  ASSERT_TRUE(m.run(std::string("1\xFF"
                                "2 1\xE5"
                                "2 1x2"),
                    "1\\D2"));
  EXPECT_EQ(m.count(), 1u);
  EXPECT_EQ(m.matchText(0), "1x2");
  // A text with a stray byte still matches its whole characters.
  ASSERT_TRUE(m.run(std::string("1天2 \xFF 1群2"), "1\\D2"));
  EXPECT_EQ(m.count(), 2u);
}

}  // namespace
}  // namespace bw
