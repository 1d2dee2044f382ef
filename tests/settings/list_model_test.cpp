#include "settings/list_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bw {
namespace {

using ::testing::ElementsAre;

ListRow Row(std::vector<std::string> cells, bool checked = false) {
  ListRow r;
  r.checked = checked;
  r.cells = std::move(cells);
  return r;
}

TEST(ListModelTest, RowsAreEditedByPosition) {
  ListModel list("超级列表框_欢迎语", {"序号", "群号", "群名称", "欢迎语"});
  EXPECT_EQ(list.append(Row({"1", "100"})), 0u);
  EXPECT_EQ(list.append(Row({"2", "200", "二群", "嗨"}, true)), 1u);
  ASSERT_EQ(list.rowCount(), 2u);
  // Short rows are padded to the column count.
  EXPECT_EQ(list.row(0)->cells.size(), 4u);
  EXPECT_EQ(list.cell(1, welcomecol::kText), "嗨");
  EXPECT_TRUE(list.checked(1));
  EXPECT_FALSE(list.checked(0));

  EXPECT_TRUE(list.setCell(0, welcomecol::kName, "一群"));
  EXPECT_EQ(list.cell(0, welcomecol::kName), "一群");
  EXPECT_TRUE(list.setChecked(0, true));
  EXPECT_TRUE(list.checked(0));

  // Out of range reads give empty values, writes fail.
  EXPECT_EQ(list.cell(5, 0), "");
  EXPECT_EQ(list.cell(0, 9), "");
  EXPECT_FALSE(list.row(2).has_value());
  EXPECT_FALSE(list.checked(7));
  EXPECT_FALSE(list.setCell(2, 0, "x"));
  EXPECT_FALSE(list.setCell(0, 4, "x"));
  EXPECT_FALSE(list.setChecked(2, true));
  EXPECT_FALSE(list.remove(2));

  EXPECT_TRUE(list.remove(0));
  ASSERT_EQ(list.rowCount(), 1u);
  EXPECT_EQ(list.cell(0, welcomecol::kGroup), "200");
  list.clear();
  EXPECT_EQ(list.rowCount(), 0u);
}

TEST(ListModelTest, ListenersAreToldOfChangesOnly) {
  ListModel list("超级列表框_日志", {"ID", "时间", "类型", "信息"});
  int told = 0;
  size_t seenRows = 0;
  const int id = list.subscribe([&] {
    ++told;
    seenRows = list.rowCount();  // reading inside a listener must not deadlock
  });
  list.append(Row({"1", "t", "操作", "开启广告检测"}));
  EXPECT_EQ(told, 1);
  EXPECT_EQ(seenRows, 1u);
  list.setChecked(0, false);   // already unchecked
  list.setCell(0, 2, "操作");  // same text
  list.setCell(3, 0, "x");     // out of range
  list.clear();
  list.clear();  // already empty
  EXPECT_EQ(told, 2);
  list.replaceAll({Row({"a"}), Row({"b"})});
  EXPECT_EQ(told, 3);
  EXPECT_EQ(seenRows, 2u);
  EXPECT_EQ(list.row(1)->cells.size(), 4u);
  list.unsubscribe(id);
  list.append(Row({}));
  EXPECT_EQ(told, 3);
}

TEST(ListModelTest, UpdateIsOneAtomicChange) {
  ListModel list("超级列表框_回复关键词",
                 {"序号", "关键词", "回复内容", "匹配模式", "回复次数", "已回复次数"});
  list.append(Row({"1", "你好", "你也好", "模糊", "0", "0"}));
  std::atomic<int> told{0};  // listeners run on the writers' threads
  list.subscribe([&] { ++told; });

  // Many writers bump the reply counter; none of the increments may be lost.
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&] {
      for (int i = 0; i < 500; ++i) {
        list.update([](std::vector<ListRow>& rows) {
          auto& cell = rows[0].cells[keywordcol::kReplied];
          cell = std::to_string(std::stoi(cell) + 1);
        });
      }
    });
  }
  for (auto& w : writers) w.join();
  EXPECT_EQ(list.cell(0, keywordcol::kReplied), "2000");
  EXPECT_EQ(told, 2000);

  // Rows added inside update() are padded like appended ones.
  list.update([](std::vector<ListRow>& rows) { rows.push_back(Row({"2"})); });
  EXPECT_EQ(list.row(1)->cells.size(), 6u);
}

TEST(ListViewsTest, FindsEveryViewByName) {
  ListViews views;
  for (ListModel* m : {&views.groups, &views.tasks, &views.keywords, &views.welcome, &views.limits,
                       &views.administrators, &views.whitelist, &views.blacklist,
                       &views.inviteStats, &views.statistics, &views.runLog}) {
    EXPECT_EQ(views.find(m->name()), m) << m->name();
  }
  EXPECT_EQ(views.find("超级列表框_群列表"), &views.groups);
  EXPECT_THAT(views.groups.columns(), ElementsAre("序号", "群号", "群名称", "权限", "初始化状态"));
  EXPECT_EQ(views.find("超级列表框_不存在"), nullptr);
}

}  // namespace
}  // namespace bw
