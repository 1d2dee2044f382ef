#include "moderation/keyword_replies.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "host/cq_code.h"
#include "host/identity.h"
#include "host/recording_host.h"
#include "host_actions.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"

namespace bw::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr int64_t kGroupA = 111111;
constexpr int64_t kMember = 123456;
constexpr int64_t kOther = 654321;
constexpr int64_t kRobot = 10000;

std::string At(int64_t qq) { return cq::At(qq); }

// Keyword replies need the host, the options, the keyword list and the robot's
// account: no database.
class KeywordRepliesTest : public ::testing::Test {
 protected:
  KeywordRepliesTest() { identity.setLoginAccount(std::to_string(kRobot)); }

  RecordingHost host;
  Settings settings;
  ListViews lists;
  Identity identity;
  KeywordReplies replies{host, settings, lists, identity};

  void privately(const std::string& msg) {
    replies.AnswerKeyword(msg, 0, kMember, ReplySource::kPrivate);
  }
  void inGroup(const std::string& msg) {
    replies.AnswerKeyword(msg, kGroupA, kMember, ReplySource::kGroup);
  }
  std::string repliedCell(size_t row) { return lists.keywords.cell(row, keywordcol::kReplied); }
  std::vector<std::string> acts() const { return CompactActions(host); }
  void addKeyword(const std::string& keyword, const std::string& reply, const std::string& mode,
                  const std::string& limitText = "0") {
    ListRow row;
    row.cells = {
        std::to_string(lists.keywords.rowCount() + 1), keyword, reply, mode, limitText, "0"};
    lists.keywords.append(row);
    replies.RebuildKeywordReplies();
  }
};

TEST_F(KeywordRepliesTest, ExactAndFuzzyMatching) {
  addKeyword("帮助", "精准回复", "精准");
  privately("帮助 我");
  EXPECT_THAT(acts(), IsEmpty());
  privately("帮助");
  addKeyword("帮", "模糊回复", "模糊");
  privately("帮助 我");
  // Any mode text other than 模糊 is exact.
  addKeyword("菜单", "有", "模糊 ");
  privately("看菜单");
  EXPECT_THAT(acts(),
              ElementsAre("send_private_msg 123456 精准回复", "send_private_msg 123456 模糊回复"));
}

TEST_F(KeywordRepliesTest, GroupAnswersDropTheRobotMentionAndAtTheSender) {
  addKeyword("帮助", "请看公告", "精准");
  inGroup(At(kRobot) + "帮助");
  inGroup("[CQ:at,qq=10000]帮助");
  inGroup(At(kRobot) + At(kOther) + "帮助");  // another member's mention stays in the text
  EXPECT_THAT(acts(), ElementsAre("send_group_msg 111111 [CQ:at,qq=123456] 请看公告",
                                  "send_group_msg 111111 [CQ:at,qq=123456] 请看公告"));
}

TEST_F(KeywordRepliesTest, LimitStopsAnEntryAndTheCountPersistsInTheList) {
  addKeyword("你好", "第一条", "模糊", "2");
  addKeyword("你", "第二条", "模糊");
  privately("你好");
  privately("你好");
  EXPECT_EQ(repliedCell(0), "2");
  privately("你好");
  EXPECT_THAT(acts(),
              ElementsAre("send_private_msg 123456 第一条", "send_private_msg 123456 第一条",
                          "send_private_msg 123456 第二条"));
  EXPECT_EQ(repliedCell(0), "2");
  EXPECT_EQ(repliedCell(1), "1");
  // A rebuild from the list (a restart) keeps the counts.
  replies.RebuildKeywordReplies();
  EXPECT_EQ(replies.entries()[0].replied, 2);
  host.clear();
  privately("你好");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 第二条"));

  // Clearing the count lets the first entry answer again.
  replies.clearRepliedCount(0);
  EXPECT_EQ(repliedCell(0), "0");
  host.clear();
  privately("你好");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 第一条"));
}

TEST_F(KeywordRepliesTest, SmartVariableTakesTheEncodedRemainder) {
  addKeyword("搜", "查询:{智能变量}", "模糊");
  privately("搜 天气");
  inGroup(At(kRobot) + "搜 天气");
  privately("搜");  // nothing left: no answer and no count
  inGroup(At(kRobot) + "搜搜");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 查询:%20%E5%A4%A9%E6%B0%94",
                                  "send_group_msg 111111 [CQ:at,qq=123456] "
                                  "查询:%20%E5%A4%A9%E6%B0%94"));
  EXPECT_EQ(repliedCell(0), "2");
}

TEST_F(KeywordRepliesTest, FirstMatchingEntryWinsAndEmptyRepliesSendNothing) {
  addKeyword("天气", "甲", "模糊");
  addKeyword("天气", "乙", "模糊");
  addKeyword("空", "", "模糊");
  addKeyword("", "全都回答", "模糊");  // a damaged row: an empty keyword matches nothing
  privately("今天天气");
  privately("空");
  privately("随便说说");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 甲"));
  EXPECT_EQ(repliedCell(1), "0");
  EXPECT_EQ(repliedCell(2), "0");
}

TEST_F(KeywordRepliesTest, AddKeywordReplyValidatesAndAppends) {
  EXPECT_EQ(replies.AddKeywordReply(), "内容不能空");
  settings.setText("编辑框_回复关键词", "搜");
  EXPECT_EQ(replies.AddKeywordReply(), "内容不能空");
  settings.setText("编辑框_回复语", "查询:{智能变量}");
  settings.setChecked("单选框_精准匹配", true);
  EXPECT_EQ(replies.AddKeywordReply(), "精准模式不支持智能变量");
  settings.setChecked("单选框_模糊匹配", true);
  settings.setText("编辑框_回复次数", "3次");
  EXPECT_EQ(replies.AddKeywordReply(), "");
  EXPECT_EQ(settings.text("编辑框_回复关键词"), "");
  EXPECT_EQ(settings.text("编辑框_回复语"), "");
  ASSERT_EQ(lists.keywords.rowCount(), 1u);
  EXPECT_EQ(lists.keywords.row(0)->cells,
            (std::vector<std::string>{"1", "搜", "查询:{智能变量}", "模糊", "3次", "0"}));
  ASSERT_EQ(replies.entries().size(), 1u);
  EXPECT_EQ(replies.entries()[0].limit, 3);

  settings.setText("编辑框_回复关键词", "搜");
  settings.setText("编辑框_回复语", "别的");
  EXPECT_EQ(replies.AddKeywordReply(), "关键词已经存在请换一个关键词吧!");
  EXPECT_EQ(settings.text("编辑框_回复关键词"), "搜");  // the boxes keep their text
  settings.setText("编辑框_回复关键词", "帮助");
  settings.setChecked("单选框_精准匹配", true);
  EXPECT_EQ(replies.AddKeywordReply(), "");
  EXPECT_EQ(lists.keywords.row(1)->cells,
            (std::vector<std::string>{"2", "帮助", "别的", "精准", "3次", "0"}));
  privately("帮助");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 别的"));
}

TEST_F(KeywordRepliesTest, DeletingRenumbersTheRows) {
  addKeyword("甲", "1", "模糊");
  addKeyword("乙", "2", "模糊");
  addKeyword("丙", "3", "模糊");
  replies.deleteReply(0);
  replies.deleteReply(7);  // out of range: nothing
  ASSERT_EQ(lists.keywords.rowCount(), 2u);
  EXPECT_EQ(lists.keywords.cell(0, keywordcol::kNumber), "1");
  EXPECT_EQ(lists.keywords.cell(1, keywordcol::kNumber), "2");
  EXPECT_EQ(lists.keywords.cell(1, keywordcol::kKeyword), "丙");
  privately("甲乙丙");
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 2"));
  EXPECT_EQ(repliedCell(0), "1");
}

TEST_F(KeywordRepliesTest, CountIsNotWrittenIntoAnotherKeywordsRow) {
  addKeyword("甲", "1", "模糊");
  // Someone inserts a row without rebuilding the table.
  lists.keywords.update([](std::vector<ListRow>& rows) {
    ListRow row;
    row.cells = {"1", "乙", "2", "模糊", "0", "9"};
    rows.insert(rows.begin(), row);
  });
  privately("甲");
  EXPECT_EQ(repliedCell(0), "9");
  EXPECT_EQ(acts().size(), 1u);
}

}  // namespace
}  // namespace bw::test

namespace bw::test {
namespace {

TEST_F(KeywordRepliesTest, LimitHoldsWhenGroupAndPrivateWorkersAnswerAtOnce) {
  addKeyword("抽奖", "中奖了", "模糊", "50");
  std::thread group([&] {
    for (int i = 0; i < 200; ++i) inGroup(At(kRobot) + "抽奖");
  });
  std::thread direct([&] {
    for (int i = 0; i < 200; ++i) privately("抽奖");
  });
  group.join();
  direct.join();
  EXPECT_EQ(acts().size(), 50u);
  EXPECT_EQ(repliedCell(0), "50");
  EXPECT_EQ(replies.entries()[0].replied, 50);
}

}  // namespace
}  // namespace bw::test
