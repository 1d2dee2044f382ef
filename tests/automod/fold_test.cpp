#include "automod/fold.h"

#include <gtest/gtest.h>

namespace bw::automod {
namespace {

TEST(AutomodFold, EvasionsFoldToTheWordTheyHide) {
  const struct {
    const char* text;
    const char* folded;
  } cases[] = {
      {"加 我 微 信", "加我微信"},
      {"加\u200b我\u200d微\ufeff信", "加我微信"},
      {"加\u3000我\t微\n信", "加我微信"},
      {"ＶＸ", "vx"},
      {"Ｖ Ｘ：１２３", "vx:123"},  // full-width punctuation too
      {"WeChat", "wechat"},
      {"加[CQ:face,id=1]我微信", "加我微信"},
      {"a&#91;b&#93;&amp;c", "a[b]&c"},
      {"\xff\xfe加我", "加我"},  // bytes that are no UTF-8 are dropped
      {"ПРИВЕТ", "привет"},
  };
  for (const auto& c : cases) EXPECT_EQ(Fold(c.text), c.folded) << c.text;
}

TEST(AutomodFold, KeepingBlanksLeavesOneSpaceWhereWordsEnd) {
  std::string out;
  FoldKeepingBlanks("看 ＡＢＣ.com   和[CQ:face,id=1]你", out);
  EXPECT_EQ(out, "看 abc.com 和 你");
}

}  // namespace
}  // namespace bw::automod
