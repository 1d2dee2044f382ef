#include "util/charset.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace bw {
namespace {

TEST(CharsetTest, ConvertsBetweenUtf8AndGb18030) {
  EXPECT_EQ(Utf8ToGbk("天"), "\xCC\xEC");
  EXPECT_EQ(Utf8ToGbk("a€"), "a\xA2\xE3");
  EXPECT_EQ(GbkToUtf8("\xCC\xEC"), "天");
  // Outside the two-byte GBK area GB18030 uses four bytes; it still converts.
  EXPECT_EQ(Utf8ToGbk("😀"), "\x94\x39\xFC\x36");
  for (const std::string& text :
       std::vector<std::string>{"", "plain", "群成员'小明'", "😀𠀀ß", std::string("a\0b", 3)}) {
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk(text)), text);
  }
}

TEST(CharsetTest, UnconvertibleBytesAreReplacedAndTheRestSurvives) {
  EXPECT_EQ(Utf8ToGbk("a\xFF"
                      "b"),
            "a?b");
  EXPECT_EQ(Utf8ToGbk("天\xE5\xA4"), "\xCC\xEC??");  // cut-off last character
  EXPECT_EQ(GbkToUtf8("a\xFF"
                      "b"),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(GbkToUtf8("\xCC\xEC\x81"), "天\xEF\xBF\xBD");
}

TEST(CharsetTest, ValidUtf8IsStrict) {
  EXPECT_TRUE(IsValidUtf8(""));
  EXPECT_TRUE(IsValidUtf8("abc 天 😀"));
  EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));          // overlong "/"
  EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(IsValidUtf8("\xE5\xA4"));          // cut off
  EXPECT_FALSE(IsValidUtf8("\xCC\xEC"));          // GBK 天
}

TEST(CharsetTest, ExternalTextKeepsUtf8AndReadsAnythingElseAsGbk) {
  EXPECT_EQ(DecodeExternalText("群列表"), "群列表");
  EXPECT_EQ(DecodeExternalText("\xEF\xBB\xBF群列表"), "群列表");
  EXPECT_EQ(DecodeExternalText(Utf8ToGbk("群列表")), "群列表");
  EXPECT_EQ(DecodeExternalText("abc"), "abc");
}

TEST(CharsetTest, GbkPrefixNeverCutsACharacter) {
  EXPECT_EQ(PrefixByGbkBytes("ab天c", 3), "ab");
  EXPECT_EQ(PrefixByGbkBytes("ab天c", 4), "ab天");
  EXPECT_EQ(PrefixByGbkBytes("ab天c", 5), "ab天c");
  EXPECT_EQ(PrefixByGbkBytes("ab天c", 100), "ab天c");
  EXPECT_EQ(PrefixByGbkBytes("😀a", 3), "");
  EXPECT_EQ(PrefixByGbkBytes("😀a", 4), "😀");
  EXPECT_EQ(PrefixByGbkBytes("天", 0), "");
}

TEST(CharsetTest, ConversionsAreSafeFromManyThreads) {
  const std::string text = "欢迎新成员 [CQ:at,qq=10001] 😀";
  const std::string gbk = Utf8ToGbk(text);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (Utf8ToGbk(text) != gbk || GbkToUtf8(gbk) != text) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace bw
