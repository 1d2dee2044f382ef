#include "util/fold.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

TEST(FoldText, EvasionsAndTypingDifferencesFoldAway) {
  const struct {
    const char* text;
    const char* folded;
  } cases[] = {
      {"加 我 微 信", "加我微信"},
      {"加\u200b我\u200d微\ufeff信", "加我微信"},
      {"加\u3000我\t微\n信", "加我微信"},
      {"加\u00ad我\u2060微\ufe0f信\U000E0041",
       "加我微信"},  // soft hyphen, joiners, selectors, tags
      {"ＶＸ", "vx"},
      {"Ｖ Ｘ：１２３", "vx:123"},  // full-width punctuation too
      {"WeChat", "wechat"},
      {"\xff\xfe加我", "加我"},              // bytes that are no UTF-8 are dropped
      {"\xC0\xAF加\xED\xA0\x80我", "加我"},  // and so are overlong forms and surrogates
      {"ПРИВЕТ ЁЖ", "приветёж"},
      {"ÀÉÎ×ΑΩ", "àéî×αω"},  // the multiplication sign has no small form
      {"😀 𠀀", "😀𠀀"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(FoldText(c.text), c.folded) << c.text;
}

TEST(FoldText, KeepingBlanksLeavesOneSpaceWhereWordsEndAndAppends) {
  std::string out = "看";
  AppendFolded("  ＡＢＣ.com \u3000\u2003 和\t", out, true);
  EXPECT_EQ(out, "看 abc.com 和 ");
  std::string fresh;
  AppendFolded(" 开头", fresh, true);  // nothing before it to end
  EXPECT_EQ(fresh, "开头");
}

}  // namespace
}  // namespace bw
