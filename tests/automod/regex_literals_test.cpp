#include "automod/regex_literals.h"

#include <gtest/gtest.h>

#include "automod/fold.h"
#include "web/regex_pattern.h"

namespace bw::automod {
namespace {

TEST(AutomodRegexLiterals, EachAlternativeGivesTheLongestRunItCannotLack) {
  using L = std::vector<std::string>;
  EXPECT_EQ(RequiredLiterals("加.{0,3}微信"), (L{"微信"}));
  EXPECT_EQ(RequiredLiterals("QQ\\d{5,}|加群"), (L{"qq", "加群"}));
  EXPECT_EQ(RequiredLiterals("abc?de"), (L{"ab"}));  // "c" may be absent
  EXPECT_EQ(RequiredLiterals("x{2}卖号"), (L{"卖号"}));
  EXPECT_EQ(RequiredLiterals("(x|y)卖号(a)"), (L{"卖号"}));
  EXPECT_EQ(RequiredLiterals("www\\.x"), (L{"www.x"}));
  // Nothing safe to look for: the expression runs on every message.
  EXPECT_EQ(RequiredLiterals("\\d{6,}"), std::nullopt);
  EXPECT_EQ(RequiredLiterals("a|[0-9]+"), std::nullopt);
  EXPECT_EQ(RequiredLiterals("(?i)abc"), std::nullopt);
  EXPECT_EQ(RequiredLiterals("\\Qa|b\\E"), std::nullopt);
}

// The literals are a necessary condition: wherever an expression matches a
// folded text, one of its literals is in that text.
TEST(AutomodRegexLiterals, NoMatchIsEverMissed) {
  const char* patterns[] = {"加.{0,3}微信", "QQ\\d{5,}|加群", "abc?de",
                            "(x|y)卖号(a)", "v\\s*x",         "a+b",
                            "[ab]cd*e",     "代[理練]+刷单"};
  const char* texts[] = {"加个微信", "qq123456", "abde",   "y卖号a", "vx",   "aaab",
                         "acdde",    "代理刷单", "加群吧", "ABCDE",  "ＶＸ", "代練練刷单"};
  for (const char* p : patterns) {
    const auto literals = RequiredLiterals(p);
    RegexPattern re(p);
    ASSERT_TRUE(re.ok()) << p;
    for (const char* t : texts) {
      const std::string folded = Fold(t);
      if (!re.search(folded)) continue;
      ASSERT_TRUE(literals.has_value()) << p;
      bool found = false;
      for (const auto& l : *literals) found |= folded.find(l) != std::string::npos;
      EXPECT_TRUE(found) << p << " matches " << t << " without a literal";
    }
  }
}

}  // namespace
}  // namespace bw::automod
