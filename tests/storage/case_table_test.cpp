// The case table on each database backend: SQLite through its ODBC driver
// always, PostgreSQL when BW_TEST_POSTGRES names a server; Access's statements
// are run against SQLite, which takes its type names.
#include "storage/case_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "storage/schema.h"
#include "support/temp_dir.h"
#include "support/test_database.h"
#include "util/charset.h"

namespace bw {
namespace {

using test::Backend;

class CaseTableTest : public test::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (opened()) table_ = std::make_unique<CaseTable>(db());
  }

  CaseTable& table() { return *table_; }

  static CaseRecord Case(int64_t time, int64_t group, int64_t member, std::string_view action,
                         std::string rule = "") {
    CaseRecord c;
    c.time = time;
    c.robot = 10000;
    c.group = group;
    c.member = member;
    c.action = std::string(action);
    c.rule = std::move(rule);
    return c;
  }

  // Every id of the listing, page after page of `size`.
  std::vector<int64_t> AllPages(const CaseFilter& f, int size, int* pages = nullptr) {
    std::vector<int64_t> ids;
    CaseCursor at;
    int n = 0;
    for (;;) {
      CasePage p = table().page(f, at, size);
      ++n;
      EXPECT_LE(static_cast<int>(p.cases.size()), size);
      for (const auto& c : p.cases) ids.push_back(c.id);
      if (!p.next) break;
      at = *p.next;
      if (n > 1000) break;
    }
    if (pages) *pages = n;
    return ids;
  }

 private:
  std::unique_ptr<CaseTable> table_;
};

TEST_P(CaseTableTest, StoresEveryFieldAndGivesIdsInOrder) {
  CaseRecord c = Case(1700000000, 987654321012, 3456789012, kCaseMute, "刷屏");
  c.reason = "十秒内发言 40 条 'quoted'";
  c.evidence = "加我微信 vx123";
  c.actor = 55555;
  c.amount = 600;
  c.wouldHave = true;
  const int64_t first = table().add(c);
  ASSERT_GT(first, 0);
  const int64_t second = table().add(Case(1700000001, 1, 2, kCaseKick));
  EXPECT_GT(second, first);

  const auto got = table().get(first);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->id, first);
  EXPECT_EQ(got->time, 1700000000);
  EXPECT_EQ(got->robot, 10000);
  EXPECT_EQ(got->group, 987654321012);
  EXPECT_EQ(got->member, 3456789012);
  EXPECT_EQ(got->action, kCaseMute);
  EXPECT_EQ(got->rule, "刷屏");
  EXPECT_EQ(got->reason, c.reason);
  EXPECT_EQ(got->evidence, c.evidence);
  EXPECT_EQ(got->actor, 55555);
  EXPECT_EQ(got->amount, 600);
  EXPECT_TRUE(got->wouldHave);
  EXPECT_FALSE(got->undone);
  EXPECT_EQ(got->undoes, 0);
  EXPECT_FALSE(table().get(second + 100).has_value());
}

TEST_P(CaseTableTest, LongEvidenceKeepsHeadAndTailWithinOneKibibyte) {
  std::string text = "开头";
  for (int i = 0; i < 2000; ++i) text += "广告";  // 3-byte characters: a cut would land inside one
  text += "结尾";
  const int64_t id = table().add([&] {
    CaseRecord c = Case(1, 1, 2, kCaseRecall);
    c.evidence = text;
    return c;
  }());
  ASSERT_GT(id, 0);
  const std::string kept = table().get(id)->evidence;
  EXPECT_LE(kept.size(), kCaseEvidenceBytes);
  EXPECT_GT(kept.size(), kCaseEvidenceBytes - 8);
  EXPECT_TRUE(IsValidUtf8(kept));
  EXPECT_EQ(kept.rfind("开头", 0), 0u);
  EXPECT_TRUE(kept.ends_with("结尾"));
  EXPECT_NE(kept.find(" … "), std::string::npos);
}

TEST_P(CaseTableTest, PagesWalkEveryMatchingCaseNewestFirstOnce) {
  // Times repeat (several cases in one second), groups and members interleave.
  for (int i = 0; i < 53; ++i) {
    ASSERT_GT(table().add(Case(1000 + i / 3, 100 + i % 2, 200 + i % 5,
                               i % 4 == 0 ? kCaseKick : kCaseMute, i % 3 ? "刷屏" : "广告")),
              0);
  }
  int pages = 0;
  const std::vector<int64_t> all = AllPages({}, 10, &pages);
  EXPECT_EQ(all.size(), 53u);
  EXPECT_EQ(pages, 6);
  EXPECT_EQ(std::set<int64_t>(all.begin(), all.end()).size(), 53u);
  // Newest first: by time, then by id.
  std::vector<CaseRecord> rows;
  for (int64_t id : all) rows.push_back(*table().get(id));
  for (size_t i = 1; i < rows.size(); ++i) {
    const bool ordered = rows[i - 1].time > rows[i].time ||
                         (rows[i - 1].time == rows[i].time && rows[i - 1].id > rows[i].id);
    EXPECT_TRUE(ordered) << i;
  }

  struct Want {
    CaseFilter filter;
    size_t count;
  };
  CaseFilter byGroup;
  byGroup.group = 101;
  CaseFilter byMember;
  byMember.member = 203;
  CaseFilter byRule;
  byRule.rule = "广告";
  CaseFilter byAction;
  byAction.action = std::string(kCaseKick);
  CaseFilter byRange;
  byRange.from = 1005;
  byRange.to = 1009;
  CaseFilter combined;
  combined.group = 100;
  combined.action = std::string(kCaseMute);
  combined.from = 1003;
  CaseFilter otherRobot;
  otherRobot.robot = 20000;
  size_t expectCombined = 0;
  for (int i = 0; i < 53; ++i) {
    if (100 + i % 2 == 100 && i % 4 != 0 && 1000 + i / 3 >= 1003) ++expectCombined;
  }
  for (const Want& w : std::vector<Want>{{byGroup, 26},
                                         {byMember, 10},
                                         {byRule, 18},
                                         {byAction, 14},
                                         {byRange, 15},
                                         {combined, expectCombined},
                                         {otherRobot, 0}}) {
    const std::vector<int64_t> ids = AllPages(w.filter, 4);
    EXPECT_EQ(ids.size(), w.count);
    for (int64_t id : ids) {
      const CaseRecord c = *table().get(id);
      if (w.filter.group) {
        EXPECT_EQ(c.group, w.filter.group);
      }
      if (w.filter.member) {
        EXPECT_EQ(c.member, w.filter.member);
      }
      if (!w.filter.rule.empty()) {
        EXPECT_EQ(c.rule, w.filter.rule);
      }
      if (!w.filter.action.empty()) {
        EXPECT_EQ(c.action, w.filter.action);
      }
      if (w.filter.from) {
        EXPECT_GE(c.time, w.filter.from);
      }
      if (w.filter.to) {
        EXPECT_LE(c.time, w.filter.to);
      }
    }
  }
}

TEST_P(CaseTableTest, OnlyOneUndoMarksACase) {
  const int64_t id = table().add(Case(5, 1, 2, kCaseMute));
  ASSERT_GT(id, 0);
  EXPECT_TRUE(table().markUndone(id));
  EXPECT_FALSE(table().markUndone(id));  // undone already
  EXPECT_TRUE(table().get(id)->undone);
  EXPECT_FALSE(table().markUndone(id + 1));  // no such case
  EXPECT_TRUE(table().clearUndone(id));
  EXPECT_FALSE(table().get(id)->undone);
}

TEST_P(CaseTableTest, ConcurrentAddsGetDistinctIds) {
  std::vector<std::thread> threads;
  std::vector<std::vector<int64_t>> ids(4);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) ids[t].push_back(table().add(Case(i, t, i, kCaseWarn)));
    });
  }
  for (auto& th : threads) th.join();
  std::set<int64_t> distinct;
  for (const auto& v : ids) {
    for (int64_t id : v) {
      EXPECT_GT(id, 0);
      distinct.insert(id);
    }
  }
  EXPECT_EQ(distinct.size(), 100u);
}

INSTANTIATE_TEST_SUITE_P(Backends, CaseTableTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres,
                                           Backend::kAccessStatements),
                         test::BackendName);

TEST(CaseExcerptTest, ShortTextIsKeptWhole) {
  EXPECT_EQ(CaseTable::Excerpt("加我微信"), "加我微信");
  EXPECT_EQ(CaseTable::Excerpt(""), "");
  const std::string exact(kCaseEvidenceBytes, 'a');
  EXPECT_EQ(CaseTable::Excerpt(exact), exact);
}

}  // namespace
}  // namespace bw
