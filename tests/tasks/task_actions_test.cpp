#include "tasks/task_actions.h"

#include <gtest/gtest.h>

#include <thread>

#include "task_fixture.h"

namespace bw {
namespace {

using test::TaskRobot;
using Mode = VirtualClock::Mode;

TEST(SplitTaskContent, TakesTextBeforeTheFirstAndAfterTheLastSeparator) {
  auto three = SplitTaskContent("标题+++第一行+++第二行");
  EXPECT_EQ(three.head, "标题");
  EXPECT_EQ(three.tail, "第二行");

  auto none = SplitTaskContent("只有正文");
  EXPECT_EQ(none.head, "");
  EXPECT_EQ(none.tail, "");

  auto trailing = SplitTaskContent("语文+++");
  EXPECT_EQ(trailing.head, "语文");
  EXPECT_EQ(trailing.tail, "");

  auto leading = SplitTaskContent("+++正文");
  EXPECT_EQ(leading.head, "");
  EXPECT_EQ(leading.tail, "正文");

  // In "a++++b" the first separator starts at 1 and the last at 2.
  auto overlap = SplitTaskContent("a++++b");
  EXPECT_EQ(overlap.head, "a");
  EXPECT_EQ(overlap.tail, "b");
}

TEST(RunTaskAction, MessagesGoToEveryGroupWithThePauseAfterEach) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({111111, 222222, 333333});
  const SystemTime start = t.clock.now();
  runTaskAction(t.actions(), "发送信息", "大家好", 2);
  EXPECT_EQ(t.calls(), (std::vector<std::string>{
                           "2026-12-7 21:05:09 send_group_msg 111111 大家好",
                           "2026-12-7 21:05:11 send_group_msg 222222 大家好",
                           "2026-12-7 21:05:13 send_group_msg 333333 大家好",
                       }));
  EXPECT_EQ(t.clock.now() - start, std::chrono::seconds(6));
}

TEST(RunTaskAction, WholeGroupMuteAndUnmute) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({111111, 222222});
  runTaskAction(t.actions(), "全体禁言", "", 0);
  runTaskAction(t.actions(), "解除禁言", "ignored", 0);
  EXPECT_EQ(t.calls(), (std::vector<std::string>{
                           "2026-12-7 21:05:09 set_group_whole_ban 111111 on",
                           "2026-12-7 21:05:09 set_group_whole_ban 222222 on",
                           "2026-12-7 21:05:09 set_group_whole_ban 111111 off",
                           "2026-12-7 21:05:09 set_group_whole_ban 222222 off",
                       }));
}

TEST(RunTaskAction, AnnouncementTitleAndText) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({123456});
  runTaskAction(t.actions(), "发布公告", "标题+++第一行+++第二行", 0);
  runTaskAction(t.actions(), "发布公告", "没有分隔", 0);
  runTaskAction(t.actions(), "发布公告", "只有标题+++", 0);
  runTaskAction(t.actions(), "发布公告", "本群须知+++禁止广告", 0);
  auto posts = t.qq.snapshot();
  ASSERT_EQ(posts.size(), 4u);
  for (const auto& p : posts) {
    EXPECT_EQ(p.kind, "announcement");
    EXPECT_EQ(p.group, "123456");
  }
  EXPECT_EQ(posts[0].title, "标题");
  EXPECT_EQ(posts[0].text, "第二行");
  EXPECT_FALSE(posts[0].flag);
  EXPECT_EQ(posts[1].title, "");
  EXPECT_EQ(posts[1].text, "");
  EXPECT_EQ(posts[2].title, "只有标题");
  EXPECT_EQ(posts[2].text, "只有标题");  // an empty text takes the title
  EXPECT_EQ(posts[3].title, "本群须知");
  EXPECT_EQ(posts[3].text, "禁止广告");
  EXPECT_TRUE(posts[3].flag);  // posted as the group rules
  EXPECT_TRUE(t.host.actions().empty());
}

TEST(RunTaskAction, HomeworkCourseAndText) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({123456, 654321});
  runTaskAction(t.actions(), "发布作业", "语文+++", 0);
  runTaskAction(t.actions(), "发布作业", "数学+++第1题+++背诵全文", 0);
  auto posts = t.qq.snapshot();
  ASSERT_EQ(posts.size(), 4u);
  EXPECT_EQ(posts[0].group, "123456");
  EXPECT_EQ(posts[1].group, "654321");
  EXPECT_EQ(posts[0].kind, "homework");
  EXPECT_EQ(posts[0].title, "语文");
  EXPECT_EQ(posts[0].text, "群通知");
  EXPECT_TRUE(posts[0].flag);  // remind
  EXPECT_EQ(posts[0].syncGroups, "");
  EXPECT_EQ(posts[2].title, "数学");
  EXPECT_EQ(posts[2].text, "背诵全文");
}

TEST(RunTaskAction, UnknownActionOnlyPausesAndNoGroupsReturnAtOnce) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({1, 2});
  const SystemTime start = t.clock.now();
  runTaskAction(t.actions(), "发红包", "x", 3);
  EXPECT_TRUE(t.host.calls().empty());
  EXPECT_TRUE(t.qq.snapshot().empty());
  EXPECT_EQ(t.clock.now() - start, std::chrono::seconds(6));

  t.manage({});
  runTaskAction(t.actions(), "发送信息", "x", 3);
  EXPECT_TRUE(t.host.calls().empty());
  EXPECT_EQ(t.clock.now() - start, std::chrono::seconds(6));
}

TEST(RunTaskAction, StopEndsThePassDuringAPause) {
  TaskRobot t(Mode::kManual);
  t.manage({111111, 222222, 333333});
  std::stop_source stop;
  std::thread pass([&] { runTaskAction(t.actions(), "发送信息", "hi", 5, stop.get_token()); });
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  stop.request_stop();
  pass.join();
  ASSERT_EQ(t.calls().size(), 1u);
  EXPECT_EQ(t.calls()[0], "2026-12-7 21:05:09 send_group_msg 111111 hi");
}

}  // namespace
}  // namespace bw
