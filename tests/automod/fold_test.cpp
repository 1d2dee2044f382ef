#include "automod/fold.h"

#include <gtest/gtest.h>

namespace bw::automod {
namespace {

// The plain text's folding is util's (tests/util/fold_test.cpp); here, what
// the message's codes add to it.
TEST(AutomodFold, EvasionsFoldToTheWordTheyHide) {
  const struct {
    const char* text;
    const char* folded;
  } cases[] = {
      {"加 我 微 信", "加我微信"},
      {"ＶＸ", "vx"},
      {"加[CQ:face,id=1]我微信", "加我微信"},
      {"[CQ:at,qq=10000] 加[CQ:image,file=a.jpg]我", "加我"},
      {"a&#91;b&#93;&amp;c&#44;Ｄ", "a[b]&c,d"},
      {"&amp;#91;", "&#91;"},         // an escaped escape stays one
      {"加我[CQ:face,id=1", "加我"},  // an unfinished code shows nothing
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
