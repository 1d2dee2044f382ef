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

TEST(CharsetTest, DecodesAndEncodesOneCharacterAtATime) {
  // Each width at its lowest and highest code point, and around the surrogates.
  for (const uint32_t value :
       {0x00u, 0x7Fu, 0x80u, 0x7FFu, 0x800u, 0xD7FFu, 0xE000u, 0xFFFFu, 0x10000u, 0x10FFFFu}) {
    const char32_t cp = value;
    std::string bytes;
    AppendUtf8(bytes, cp);
    EXPECT_EQ(bytes.size(), cp < 0x80 ? 1u : cp < 0x800 ? 2u : cp < 0x10000 ? 3u : 4u) << value;
    EXPECT_TRUE(IsValidUtf8(bytes)) << value;
    const std::string text = "a" + bytes + "b";
    char32_t back = 0xFFFFFFFF;
    EXPECT_EQ(DecodeUtf8(text, 1, back), bytes.size()) << value;
    EXPECT_EQ(static_cast<uint32_t>(back), value);
  }
  std::string both;
  AppendUtf8(both, U'天');
  AppendUtf8(both, U'😀');
  EXPECT_EQ(both, "天😀");
}

TEST(CharsetTest, DecodingRefusesWhatIsNotWellFormed) {
  const struct {
    const char* bytes;
    size_t at;
  } cases[] = {
      {"\x80", 0},              // a continuation byte alone
      {"\xC0\xAF", 0},          // overlong "/"
      {"\xE0\x80\xAF", 0},      // overlong, three bytes
      {"\xED\xA0\x80", 0},      // surrogate
      {"\xF4\x90\x80\x80", 0},  // above U+10FFFF
      {"\xE5\xA4", 0},          // cut off by the end
      {"a\xE5\xA4"
       "b",
       1},  // cut off by the next character
      {"\xFF", 0},
  };
  for (const auto& c : cases) {
    char32_t cp = U'x';
    EXPECT_EQ(DecodeUtf8(c.bytes, c.at, cp), 0u) << c.bytes;
    EXPECT_TRUE(cp == U'x') << c.bytes;  // left as it was
  }
}

TEST(CharsetTest, ExternalTextKeepsUtf8AndReadsAnythingElseAsGbk) {
  EXPECT_EQ(DecodeExternalText("群列表"), "群列表");
  EXPECT_EQ(DecodeExternalText("\xEF\xBB\xBF群列表"), "群列表");
  EXPECT_EQ(DecodeExternalText(Utf8ToGbk("群列表")), "群列表");
  EXPECT_EQ(DecodeExternalText("abc"), "abc");
}

// Settings files of unknown encoding: one bad byte must not turn a whole UTF-8
// file into GB18030 (every option falling back to its default).
TEST(FileTextTest, EachLineDecidesSoOneStrayByteDamagesOnlyItsLine) {
  const std::string utf8 = "[编辑框]\r\n编辑框_欢迎语=欢迎进群\r\n";
  DecodedText d = DecodeFileText(utf8);
  EXPECT_EQ(d.text, utf8);
  EXPECT_TRUE(d.clean());

  // A stray byte inside a UTF-8 line: the other lines stay as they are, and the
  // line itself keeps its UTF-8 text around one replacement character.
  d = DecodeFileText(
      "[选择框]\r\n选择框_开启广告检测=真\r\n选择框_踢语音=\xFF真\r\n选择框_踢出加黑=真\r\n");
  EXPECT_EQ(d.text,
            "[选择框]\r\n选择框_开启广告检测=真\r\n选择框_踢语音=\xEF\xBF\xBD真\r\n"
            "选择框_踢出加黑=真\r\n");
  EXPECT_EQ(d.unreadableLines, std::vector<size_t>{3});
  EXPECT_FALSE(d.clean());

  // A whole GBK file reads as before, cleanly; a lone GBK line in a UTF-8 file
  // is read as GB18030 but reported, since its reading is a guess.
  d = DecodeFileText(
      Utf8ToGbk("{1}1----30001----青榆群----群主\r\n{0}2----30002----二群----管理员\r\n"));
  EXPECT_EQ(d.text, "{1}1----30001----青榆群----群主\r\n{0}2----30002----二群----管理员\r\n");
  EXPECT_TRUE(d.clean());
  d = DecodeFileText("一群\n二群\n" + Utf8ToGbk("三群") + "\n四群\n");
  EXPECT_EQ(d.text, "一群\n二群\n三群\n四群\n");
  EXPECT_TRUE(d.unreadableLines.empty());
  EXPECT_EQ(d.guessedLines, std::vector<size_t>{3});

  // A GBK line with a byte GB18030 cannot read either.
  d = DecodeFileText(Utf8ToGbk("群规") + "\xFF\r\n");
  EXPECT_EQ(d.text, "群规\xEF\xBF\xBD\r\n");
  EXPECT_EQ(d.unreadableLines, std::vector<size_t>{1});

  // A stray byte GB18030 happens to read without fault (its bytes pair up):
  // in a UTF-8 file the line still stays UTF-8.
  d = DecodeFileText("你好\r\n见\x80公告\r\n");
  EXPECT_EQ(d.text, "你好\r\n见\xEF\xBF\xBD公告\r\n");
  EXPECT_EQ(d.unreadableLines, std::vector<size_t>{2});

  // Where both readings fail on as many bytes, the rest of the file decides.
  const std::string tie = "别发\xFF广告";  // one bad byte either way
  d = DecodeFileText("[编辑框]\n欢迎=你好\n" + tie + "\n");
  EXPECT_EQ(d.text, "[编辑框]\n欢迎=你好\n别发\xEF\xBF\xBD广告\n");
  EXPECT_EQ(d.unreadableLines, std::vector<size_t>{3});
  EXPECT_TRUE(d.guessedLines.empty());
  d = DecodeFileText(Utf8ToGbk("欢迎=你好") + "\n" + tie + "\n");
  EXPECT_EQ(d.text, "欢迎=你好\n" + GbkToUtf8(tie) + "\n");
}

TEST(FileTextTest, LinesAreCountedInEveryLineEndStyle) {
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    const std::string bytes = "甲" + end + "乙" + end + "丙\xFF" + end + "丁";
    const DecodedText d = DecodeFileText(bytes);
    EXPECT_EQ(d.text, "甲" + end + "乙" + end + "丙\xEF\xBF\xBD" + end + "丁");
    EXPECT_EQ(d.unreadableLines, std::vector<size_t>{3}) << "line end of " << end.size();
  }
}

TEST(FileTextTest, ByteOrderMarksDecideTheWholeFile) {
  // UTF-8 mark: even a line GB18030 could read stays UTF-8 (repaired).
  DecodedText d = DecodeFileText("\xEF\xBB\xBF群\r\n" + Utf8ToGbk("规则") + "\r\n");
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(d.text, "群\r\n" + fffd + fffd + fffd + fffd + "\r\n");
  EXPECT_EQ(d.unreadableLines, std::vector<size_t>{2});

  // UTF-16 LE and BE, with a character outside the BMP (a surrogate pair).
  const std::string le = std::string("\xFF\xFE", 2) + std::string("\xA4\x7F\x0D\x00\x0A\x00", 6) +
                         std::string("\x3D\xD8\x00\xDE", 4) + std::string("a\0", 2);
  d = DecodeFileText(le);
  EXPECT_EQ(d.text, "群\r\n😀a");
  EXPECT_TRUE(d.clean());
  const std::string be = std::string("\xFE\xFF", 2) + std::string("\x7F\xA4\x00\x0A", 4) +
                         std::string("\xD8\x3D\xDE\x00", 4);
  d = DecodeFileText(be);
  EXPECT_EQ(d.text, "群\n😀");
  EXPECT_TRUE(d.clean());

  // An unpaired surrogate and a half unit at the end cannot be read.
  d = DecodeFileText(std::string("\xFF\xFE", 2) + std::string("a\0\n\0\x00\xDC"
                                                              "b\0\n\0c",
                                                              11));
  EXPECT_EQ(d.text,
            "a\n\xEF\xBF\xBD"
            "b\n\xEF\xBF\xBD");
  EXPECT_EQ(d.unreadableLines, (std::vector<size_t>{2, 3}));
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
