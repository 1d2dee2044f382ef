#include "logs/statistics.h"

#include <gtest/gtest.h>

#include "logs/group_log.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "support/temp_dir.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"

namespace bw {
namespace {

using test::TempDir;
using test::WriteAll;

class StatisticsTest : public ::testing::Test {
 protected:
  StatisticsTest()
      : clock(LocalTime(2026, 12, 7, 21, 5, 9)),
        groupLog(clock, dir.path() + "群数据/"),
        stats(clock, settings, lists, groupLog) {
    EnsureDirectory(dir.path() + "群数据/");
  }

  void dayFile(const std::string& day, const std::string& text) {
    WriteAll(dir.path() + "群数据/" + day + ".txt", text);
  }
  void group(const std::string& number, const std::string& name, bool ticked) {
    ListRow row;
    row.checked = ticked;
    row.cells = {std::to_string(lists.groups.rowCount() + 1), number, name, "管理员", ""};
    lists.groups.append(row);
  }
  std::vector<std::string> column(size_t c) const {
    std::vector<std::string> out;
    for (const auto& row : lists.statistics.rows()) out.push_back(row.cells.at(c));
    return out;
  }

  TempDir dir;
  VirtualClock clock;
  Settings settings;
  ListViews lists;
  GroupLog groupLog;
  DailyStatistics stats;
};

TEST_F(StatisticsTest, DayEventsCountJoinsLeavesAndRemovals) {
  groupLog.WriteGroupLog("123456", "20001", "10000", "进群");
  groupLog.WriteGroupLog("123456", "20002", "0", "进群");
  groupLog.WriteGroupLog("654321", "20003", "10000", "进群");
  groupLog.WriteGroupLog("123456", "20004", "0", "退群");
  groupLog.WriteGroupLog("123456", "20005", "10000", "退群");
  stats.RefreshStatisticsDays();
  stats.ShowDayEvents();

  EXPECT_EQ(stats.summaryText(), "进群:3  退群:1  踢出:1\r\n\r\n总进群:1");
  EXPECT_EQ(stats.headings(), (std::vector<std::string>{"时间", "群号", "状态", "QQ", "操作QQ"}));
  auto rows = lists.statistics.rows();
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_EQ(rows[0].cells,
            (std::vector<std::string>{"2026-12-7 21:05:09", "123456", "进群", "20001", "10000"}));
  EXPECT_EQ(rows[0].textColour, 0x8000u);
  EXPECT_EQ(rows[0].backColour, 0xFFFFFFu);
  EXPECT_EQ(rows[3].textColour, 0u);  // a voluntary leave keeps the default colours
  EXPECT_EQ(rows[3].backColour, 0u);
  EXPECT_EQ(rows[4].textColour, 0xAA00AAu);
  EXPECT_EQ(rows[4].backColour, 0xECECECu);
}

TEST_F(StatisticsTest, DayChoicesListTodayOnlyOnceAndNewestFirst) {
  for (const char* day : {"2026-12-7", "2026-9-30", "2026-10-1", "2025-12-31", "2026-12-6"}) {
    dayFile(day, "");
  }
  WriteAll(dir.path() + "群数据/notes.log", "");
  settings.setText("组合框1", "2026-9-30");
  stats.RefreshStatisticsDays();
  EXPECT_EQ(stats.days(), (std::vector<std::string>{"今天", "2026-12-6", "2026-10-1", "2026-9-30",
                                                    "2025-12-31"}));
  EXPECT_EQ(settings.text("组合框1"), "今天");
}

TEST_F(StatisticsTest, AChosenDayAndAMissingDay) {
  dayFile("2026-12-6",
          "2026-12-6 08:00:00\t123456\t退群\t20001\t0\r\n"
          "\r\n"
          "2026-12-6 09:00:00\t123456\t进群\t20002\t10000\r\n");
  settings.setText("组合框1", "2026-12-6");
  stats.ShowDayEvents();
  EXPECT_EQ(column(3), (std::vector<std::string>{"20001", "20002"}));
  EXPECT_EQ(stats.summaryText(), "进群:1  退群:1  踢出:0\r\n\r\n总进群:0");

  settings.setText("组合框1", "2026-12-5");
  stats.ShowDayEvents();
  EXPECT_EQ(lists.statistics.rowCount(), 0u);
  EXPECT_EQ(stats.summaryText(), "进群:0  退群:0  踢出:0\r\n\r\n总进群:0");

  // A combo text is no path.
  WriteAll(dir.path() + "secret.txt", "2026-12-6 08:00:00\t1\t进群\t2\t3\r\n");
  settings.setText("组合框1", "../secret");
  stats.ShowDayEvents();
  EXPECT_EQ(lists.statistics.rowCount(), 0u);
}

TEST_F(StatisticsTest, DayFilesWrittenInGbkAreRead) {
  dayFile("2026-12-6", Utf8ToGbk("2026-12-6 08:00:00\t123456\t进群\t20001\t0\r\n"));
  settings.setText("组合框1", "2026-12-6");
  stats.ShowDayEvents();
  EXPECT_EQ(column(2), (std::vector<std::string>{"进群"}));
  EXPECT_EQ(stats.dayCounts().joins, 1);
}

class GroupSummaryTest : public StatisticsTest {
 protected:
  void SetUp() override {
    group("123456", "甲群", true);
    group("654321", "乙群", false);
    group("23456", "丙群", true);
    group("345678", "丁群", true);
    dayFile("2026-12-7",
            "2026-12-7 08:00:00\t123456\t进群\t20001\t10000\r\n"
            "2026-12-7 08:00:01\t123456\t进群\t20002\t0\r\n"
            "2026-12-7 08:00:02\t123456\t进群\t1234\t0\r\n"  // no account: not counted
            "2026-12-7 08:00:03\t123456\t退群\t20001\t0\r\n"
            "2026-12-7 08:00:04\t123456\t退群\t20002\t10000\r\n"
            "2026-12-7 08:00:05\t23456\t进群\t20003\t0\r\n"
            "2026-12-7 08:00:06\t654321\t进群\t20004\t0\r\n"
            "2026-12-7 08:00:07\t345678\t进群\t20005\t0\r\n"
            "2026-12-7 08:00:08\t345678\t进群\t20006\t0\r\n"
            "2026-12-7 08:00:09\t345678\t进群\t20007\t0\r\n");
    settings.setText("组合框1", "今天");
    stats.ShowGroupSummary();
  }
};

TEST_F(GroupSummaryTest, OneRowPerTickedGroup) {
  EXPECT_EQ(stats.headings(),
            (std::vector<std::string>{"群号", "群名称", "进群", "退群", "踢出", "总进群"}));
  auto rows = lists.statistics.rows();
  ASSERT_EQ(rows.size(), 3u);
  // 23456 is the tail of 123456 but counts only its own lines.
  EXPECT_EQ(rows[0].cells, (std::vector<std::string>{"123456", "甲群", "2", "1", "1", "0"}));
  EXPECT_EQ(rows[1].cells, (std::vector<std::string>{"23456", "丙群", "1", "0", "0", "1"}));
  EXPECT_EQ(rows[2].cells, (std::vector<std::string>{"345678", "丁群", "3", "0", "0", "3"}));
  EXPECT_EQ(rows[0].textColour, 255u);  // not above zero
  EXPECT_EQ(rows[1].textColour, 0x8000u);
  EXPECT_EQ(rows[1].backColour, 0xFFFFFFu);
}

TEST_F(GroupSummaryTest, SortingByAColumnAsIntegersWithTheDirectionToggle) {
  stats.sortByColumn(2);
  EXPECT_EQ(column(0), (std::vector<std::string>{"23456", "123456", "345678"}));
  stats.sortByColumn(2);
  EXPECT_EQ(column(0), (std::vector<std::string>{"345678", "123456", "23456"}));
  stats.sortByColumn(0);  // another column: ascending again, as numbers (not as text)
  EXPECT_EQ(column(0), (std::vector<std::string>{"23456", "123456", "345678"}));
  stats.sortByColumn(5);
  EXPECT_EQ(column(5), (std::vector<std::string>{"0", "1", "3"}));
  EXPECT_EQ(lists.statistics.rows()[0].textColour, 255u);  // colours move with their rows
  stats.sortByColumn(1);  // names are no numbers: all equal, order kept
  EXPECT_EQ(column(0), (std::vector<std::string>{"123456", "23456", "345678"}));
}

TEST(CountGroupEvents, PatternsOverAWholeDay) {
  const std::string day =
      "2026-12-7 08:00:00\t777777\t退群\t20001\t0\r\n"
      "2026-12-7 08:00:02\t777777\t退群\t20003\t30001\r\n"
      "2026-12-7 08:00:03\t1777777\t退群\t20004\t0\r\n";  // another group
  DayCounts c = CountGroupEvents(day, "777777");
  EXPECT_EQ(c.joins, 0);
  EXPECT_EQ(c.leaves, 1);
  EXPECT_EQ(c.removals, 1);
  EXPECT_EQ(c.net(), -2);
  DayCounts none = CountGroupEvents(day, "77.777");  // no number: no pattern is built
  EXPECT_EQ(none.leaves, 0);
  EXPECT_EQ(CountGroupEvents("", "777777").joins, 0);
}

}  // namespace
}  // namespace bw
