#include "host/recording_host.h"

#include <gtest/gtest.h>

#include <thread>

namespace bw {
namespace {

TEST(RecordingHostTest, RecordsEveryCallInOrderWithItsArguments) {
  RecordingHost host;
  host.CQ_sendGroupMsg(100, "hello");
  host.CQ_setGroupBan(100, 10001, 600);
  host.CQ_getCookies();
  host.CQ_setGroupKick(100, 10002, true);
  host.CQ_setGroupAddRequestV2("flag-1", kRequestGroupAdd, kRequestRefuse, "等级不足");

  const std::vector<HostCall> calls = host.calls();
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0].action, "send_group_msg");
  EXPECT_EQ(calls[0].group, 100);
  EXPECT_EQ(calls[0].text, "hello");
  EXPECT_EQ(calls[1].action, "set_group_ban");
  EXPECT_EQ(calls[1].account, 10001);
  EXPECT_EQ(calls[1].number, 600);
  EXPECT_EQ(calls[2].action, "get_cookies");
  EXPECT_TRUE(calls[3].enable);
  EXPECT_EQ(calls[4].flag, "flag-1");
  EXPECT_EQ(calls[4].decision, kRequestRefuse);
  EXPECT_EQ(calls[4].text, "等级不足");

  const std::vector<HostCall> actions = host.actions();
  ASSERT_EQ(actions.size(), 4u);
  EXPECT_EQ(actions[2].action, "set_group_kick");
  host.clear();
  EXPECT_TRUE(host.calls().empty());
}

TEST(RecordingHostTest, ReadCallsAnswerWhatWasConfigured) {
  RecordingHost host;
  host.setLoginQQ(20000);
  host.setLoginNick("守卫");
  host.setCookies("uin=o20000; skey=@abc");
  host.setCsrfToken(12345);
  EXPECT_EQ(host.CQ_getLoginQQ(), 20000);
  EXPECT_EQ(host.CQ_getLoginNick(), "守卫");
  EXPECT_EQ(host.CQ_getCookies(), "uin=o20000; skey=@abc");
  EXPECT_EQ(host.CQ_getCsrfToken(), 12345);
  host.CQ_setFatal("boom (ERROR1)");
  EXPECT_TRUE(host.actions().empty());  // neither reads nor fatal reports act
  EXPECT_EQ(host.calls().size(), 5u);
}

TEST(RecordingHostTest, MemberListFailsWithoutOneAndKeepsCallersList) {
  RecordingHost host;
  GroupMember previous;
  previous.account = 1;
  std::vector<GroupMember> members{previous};
  EXPECT_EQ(host.CQ_getGroupMemberList(100, members), kMemberListFailed);
  EXPECT_EQ(members, std::vector<GroupMember>{previous});

  GroupMember a, b;
  a.account = 10001;
  b.account = 10002;
  host.setMemberList(100, {a, b});
  EXPECT_EQ(host.CQ_getGroupMemberList(100, members), 0);
  EXPECT_EQ(members, (std::vector<GroupMember>{a, b}));
  EXPECT_EQ(host.CQ_getGroupMemberList(200, members), kMemberListFailed);
  host.clearMemberList(100);
  EXPECT_EQ(host.CQ_getGroupMemberList(100, members), kMemberListFailed);
  EXPECT_EQ(host.calls().back().toJson(),
            R"({"action":"get_group_member_list","params":{"group_id":100}})");
}

TEST(HostCallJsonTest, PrintsTheOneBotFormOfEachAction) {
  RecordingHost host;
  host.CQ_sendGroupMsg(100, "[CQ:at,qq=10001] 请勿发广告");
  host.CQ_sendPrivateMsg(10001, "hi");
  host.CQ_setGroupKick(100, 10001, false);
  host.CQ_setGroupBan(100, 10001, 0);
  host.CQ_setGroupWholeBan(100, true);
  host.CQ_setGroupCard(100, 10001, "新人_小明");
  host.CQ_setGroupAddRequestV2("f1", kRequestGroupAdd, kRequestApprove, "");
  host.CQ_setGroupAddRequestV2("f2", 2, kRequestRefuse, "no");
  host.recallMessage(-2147483000);
  host.CQ_setFatal("boom (ERROR1)");
  host.CQ_getLoginQQ();
  const std::vector<std::string> expected = {
      R"j({"action":"send_group_msg","params":{"group_id":100,"message":"[CQ:at,qq=10001] 请勿发广告"}})j",
      R"j({"action":"send_private_msg","params":{"user_id":10001,"message":"hi"}})j",
      R"j({"action":"set_group_kick","params":{"group_id":100,"user_id":10001,"reject_add_request":false}})j",
      R"j({"action":"set_group_ban","params":{"group_id":100,"user_id":10001,"duration":0}})j",
      R"j({"action":"set_group_whole_ban","params":{"group_id":100,"enable":true}})j",
      R"j({"action":"set_group_card","params":{"group_id":100,"user_id":10001,"card":"新人_小明"}})j",
      R"j({"action":"set_group_add_request","params":{"flag":"f1","sub_type":"add","approve":true,"reason":""}})j",
      R"j({"action":"set_group_add_request","params":{"flag":"f2","sub_type":"invite","approve":false,"reason":"no"}})j",
      R"j({"action":"delete_msg","params":{"message_id":-2147483000}})j",
      R"j({"action":"set_fatal","params":{"text":"boom (ERROR1)"}})j",
      R"j({"action":"get_login_info","params":{}})j",
  };
  const std::vector<HostCall> calls = host.calls();
  ASSERT_EQ(calls.size(), expected.size());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(calls[i].toJson(), expected[i]);
}

TEST(HostCallJsonTest, EscapesQuotesAndSurvivesBrokenUtf8) {
  HostCall call;
  call.action = "send_group_msg";
  call.group = 9007199254740993;  // beyond double precision: printed exactly
  call.text = "say \"hi\"\n\xFF";
  EXPECT_EQ(
      call.toJson(),
      R"({"action":"send_group_msg","params":{"group_id":9007199254740993,"message":"say \"hi\"\n�"}})");
}

TEST(RecordingHostTest, ObserverSeesEachCallInRecordedOrder) {
  RecordingHost host;
  std::vector<std::string> seen;
  host.setObserver([&](const HostCall& call) {
    seen.push_back(call.action);
    EXPECT_EQ(host.calls().back().action, call.action);  // reading inside is allowed
  });
  host.CQ_sendGroupMsg(1, "a");
  host.CQ_getCsrfToken();
  host.CQ_setGroupWholeBan(1, false);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"send_group_msg", "get_csrf_token", "set_group_whole_ban"}));
  host.setObserver(nullptr);
  host.CQ_sendGroupMsg(1, "b");
  EXPECT_EQ(seen.size(), 3u);
}

TEST(RecordingHostTest, CallsFromManyThreadsAreAllRecordedAndObserved) {
  RecordingHost host;
  std::vector<int64_t> observed;
  host.setObserver([&](const HostCall& call) { observed.push_back(call.account); });
  constexpr int kThreads = 4, kCalls = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&host, t] {
      for (int i = 0; i < kCalls; ++i) host.CQ_sendPrivateMsg(t * kCalls + i, "x");
    });
  }
  for (auto& thread : threads) thread.join();
  const std::vector<HostCall> calls = host.calls();
  ASSERT_EQ(calls.size(), static_cast<size_t>(kThreads * kCalls));
  ASSERT_EQ(observed.size(), calls.size());
  for (size_t i = 0; i < calls.size(); ++i) EXPECT_EQ(observed[i], calls[i].account);
}

}  // namespace
}  // namespace bw
