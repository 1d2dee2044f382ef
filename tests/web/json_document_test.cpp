#include "web/json_document.h"

#include <gtest/gtest.h>

#include <string>

#include "web/json_nesting.h"

namespace bw {
namespace {

TEST(JsonDocument, CountsArraysAndObjects) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse(R"({"empty":[],"three":{"a":1,"b":2,"c":3},"list":[1,2,3,4],"n":5})"));
  EXPECT_EQ(doc.count("empty"), 0u);
  EXPECT_EQ(doc.count("three"), 3u);
  EXPECT_EQ(doc.count("list"), 4u);
  EXPECT_EQ(doc.count(""), 4u);  // the root's members
  EXPECT_EQ(doc.count("n"), 0u);
  EXPECT_EQ(doc.count("missing"), 0u);
}

TEST(JsonDocument, ReadsTextsByPath) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse(R"({"ec":0,"create":[{"gc":123456789,"gn":"青榆\"群\"","owner":10001}],)"
                        R"("big":9007199254740993,"neg":-42,"frac":3.99,"t":true,"nil":null,)"
                        R"("deep":{"a":[[1,2],[3,{"b":"x"}]]}})"));
  EXPECT_EQ(doc.getText("create[0].gc"), "123456789");
  EXPECT_EQ(doc.getText("create[0].gn"), "青榆\"群\"");
  EXPECT_EQ(doc.getText("big"), "9007199254740993");  // exact beyond double precision
  EXPECT_EQ(doc.getText("neg"), "-42");
  EXPECT_EQ(doc.getText("frac"), "3");
  EXPECT_EQ(doc.getText("t"), "true");
  EXPECT_EQ(doc.getText("nil"), "");
  EXPECT_EQ(doc.getText("deep.a[1][1].b"), "x");
  EXPECT_EQ(doc.getText("deep.a[0]"), "[1,2]");
  EXPECT_EQ(doc.getText("create[1].gc"), "");  // past the end
  EXPECT_EQ(doc.getText("create[x].gc"), "");
  EXPECT_EQ(doc.getText("create.gc"), "");
  EXPECT_EQ(doc.getText("create[0]..gc"), "");
  EXPECT_EQ(doc.getText(".ec"), "");
  EXPECT_EQ(doc.getText("ec[0]"), "");
  EXPECT_TRUE(doc.has("nil"));
  EXPECT_FALSE(doc.has("none"));
}

TEST(JsonDocument, PathStartingWithABracketIndexesTheRoot) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse(R"([{"gc":1},{"gc":2}])"));
  EXPECT_EQ(doc.getText("[1].gc"), "2");
  EXPECT_EQ(doc.count(""), 2u);
}

TEST(JsonDocument, ScriptLiteralsAreAccepted) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse("{ec: 0, 'name': 'it\\'s \"q\"', list: [1, 2, 3,], /* note */ ok: true,}"));
  EXPECT_EQ(doc.getText("ec"), "0");
  EXPECT_EQ(doc.getText("name"), "it's \"q\"");
  EXPECT_EQ(doc.count("list"), 3u);
  EXPECT_EQ(doc.getText("ok"), "true");
}

TEST(JsonDocument, UnparseableTextLeavesTheDocumentEmpty) {
  JsonDocument doc;
  ASSERT_TRUE(doc.parse(R"({"create":[1]})"));
  for (const char* bad : {"", "null", "<html>502 Bad Gateway</html>", "{\"a\":", "[1,2"}) {
    EXPECT_FALSE(doc.parse(bad)) << bad;
    EXPECT_TRUE(doc.empty());
    EXPECT_EQ(doc.count("create"), 0u);
    EXPECT_EQ(doc.getText("create[0]"), "");
  }
  ASSERT_TRUE(doc.parse("[1]"));
  doc.clear();
  EXPECT_EQ(doc.count(""), 0u);
}

TEST(JsonNesting, CountsOnlyBracketsOutsideStringsAndComments) {
  EXPECT_TRUE(JsonNestingWithin("[[1]]", 2));
  EXPECT_FALSE(JsonNestingWithin("[[1]]", 1));
  EXPECT_TRUE(JsonNestingWithin(R"({"a":[1],"b":{"c":2}})", 2));
  EXPECT_FALSE(JsonNestingWithin(R"({"b":{"c":[2]}})", 2));
  // Siblings do not add up.
  EXPECT_TRUE(JsonNestingWithin("[[],[],[],[]]", 2));
  // Brackets in strings, behind escaped quotes, and in comments.
  EXPECT_TRUE(JsonNestingWithin(R"(["[[[[", "\"[[[[", "\\"])", 1));
  EXPECT_FALSE(JsonNestingWithin(R"(["\\", [[]]])", 2));
  EXPECT_TRUE(JsonNestingWithin("[1 // \" [[[[\n]", 1));
  EXPECT_TRUE(JsonNestingWithin("[1 /* \" [[[[ */]", 1));
  EXPECT_FALSE(JsonNestingWithin("[1 /* x */ [[2]]]", 2));
  EXPECT_TRUE(JsonNestingWithin(std::string(kMaxJsonNesting, '[')));
  EXPECT_FALSE(JsonNestingWithin(std::string(kMaxJsonNesting + 1, '[')));
}

TEST(JsonDocument, RefusesAnAnswerNestedBeyondReasonAndKeepsWorking) {
  JsonDocument doc;
  const std::string deep = "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}";
  EXPECT_FALSE(doc.parse(deep));
  EXPECT_TRUE(doc.empty());
  EXPECT_EQ(doc.getText("a"), "");
  // The script-literal form is bounded too.
  EXPECT_FALSE(doc.parse("{a:" + std::string(100000, '[') + std::string(100000, ']') + ",}"));
  ASSERT_TRUE(doc.parse(R"({"a":[[1]]})"));
  EXPECT_EQ(doc.getText("a"), "[[1]]");
}

}  // namespace
}  // namespace bw
