// The OneBot adapter against a scripted OneBot v11 peer on 127.0.0.1: calls and
// their answers, events in, time-outs, reconnects and refused tokens.
#include "onebot/connection.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "logs/run_log.h"
#include "onebot/events.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "scripted_peer.h"
#include "util/log.h"

namespace bw::onebot {
namespace {

using test::ScriptedPeer;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

ConnectionOptions FastOptions(const std::string& url, std::string token = "") {
  ConnectionOptions o;
  o.url = url;
  o.accessToken = std::move(token);
  o.callTimeout = 5000ms;
  o.connectTimeout = 2000ms;
  o.firstRetry = 20ms;
  o.maxRetry = 80ms;
  return o;
}

// Polls (really) until `pred` holds; the adapter's own waits are on its Clock.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

// A port nobody listens on (bound once, then released).
uint16_t FreePort() {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor a(
      ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

class LogCapture {
 public:
  LogCapture() {
    old_ = SetLogSink([this](LogLevel level, std::string_view m) {
      std::lock_guard lock(mu_);
      if (level >= LogLevel::kWarning) lines_.emplace_back(m);
    });
  }
  ~LogCapture() { SetLogSink(std::move(old_)); }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  bool contains(std::string_view part) const {
    for (const auto& l : lines())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }

 private:
  LogSink old_;
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST(WsUrl, ParsesHostPortAndTarget) {
  std::string error;
  auto ep = ParseWsUrl("ws://127.0.0.1:3001", error);
  ASSERT_TRUE(ep);
  EXPECT_EQ(ep->host, "127.0.0.1");
  EXPECT_EQ(ep->port, "3001");
  EXPECT_EQ(ep->target, "/");
  ep = ParseWsUrl("ws://[::1]:6700/onebot?access_token=x", error);
  ASSERT_TRUE(ep);
  EXPECT_EQ(ep->host, "::1");
  EXPECT_EQ(ep->port, "6700");
  EXPECT_EQ(ep->target, "/onebot?access_token=x");
  ep = ParseWsUrl("ws://bot.local?x=1", error);
  ASSERT_TRUE(ep);
  EXPECT_EQ(ep->port, "80");
  EXPECT_EQ(ep->target, "/?x=1");
  for (const char* bad : {"http://127.0.0.1:3001", "wss://h:1", "ws://:3001", "ws://h:0",
                          "ws://h:70000", "ws://h:12a", "ws://u:p@h:1", "ws://[::1"}) {
    error.clear();
    EXPECT_FALSE(ParseWsUrl(bad, error)) << bad;
    EXPECT_FALSE(error.empty()) << bad;
  }
}

TEST(Connection, StartRefusesAnUnusableUrl) {
  RealClock clock;
  Connection c(clock, FastOptions("http://127.0.0.1:1"));
  EXPECT_FALSE(c.start());
}

class ConnectedTest : public ::testing::Test {
 protected:
  void connect(Clock& clock, std::string token = "") {
    connect(clock, FastOptions(peer.url(), std::move(token)));
  }
  void connect(Clock& clock, ConnectionOptions options) {
    connection = std::make_unique<Connection>(clock, std::move(options));
    connection->setEventHandler([this](const Json& e) {
      std::lock_guard lock(mu);
      events.push_back(e);
      cv.notify_all();
    });
    ASSERT_TRUE(connection->start());
    ASSERT_TRUE(connection->waitUntilConnected());
  }
  bool waitEvents(size_t n) {
    std::unique_lock lock(mu);
    return cv.wait_for(lock, 5s, [&] { return events.size() >= n; });
  }

  ScriptedPeer peer{"secret"};
  RealClock realClock;
  std::unique_ptr<Connection> connection;
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Json> events;
};

TEST_F(ConnectedTest, SendsTheTokenAndMatchesAnswersByEchoWhateverTheirOrder) {
  connect(realClock, "secret");
  EXPECT_EQ(peer.lastAuthorization(), "Bearer secret");
  peer.neverAnswer("get_login_info");
  peer.neverAnswer("get_csrf_token");
  auto first = std::async(std::launch::async, [&] { return connection->call("get_login_info"); });
  auto r1 = peer.nextRequest();
  auto second = std::async(std::launch::async, [&] { return connection->call("get_csrf_token"); });
  auto r2 = peer.nextRequest();
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ((*r1)["action"], "get_login_info");
  EXPECT_EQ((*r2)["action"], "get_csrf_token");
  EXPECT_NE((*r1)["echo"], (*r2)["echo"]);
  // Answered in reverse order, with an event in between.
  peer.send(
      {{"status", "ok"}, {"retcode", 0}, {"data", {{"token", 777}}}, {"echo", (*r2)["echo"]}});
  peer.send({{"post_type", "meta_event"},
             {"meta_event_type", "heartbeat"},
             {"status", {{"online", true}}}});
  peer.send({{"status", "ok"},
             {"retcode", 0},
             {"data", {{"user_id", 10000}, {"nickname", "青榆"}}},
             {"echo", (*r1)["echo"]}});
  CallResult a = first.get();
  CallResult b = second.get();
  EXPECT_TRUE(a.ok);
  EXPECT_EQ(a.data["user_id"], 10000);
  EXPECT_EQ(a.data["nickname"], "青榆");
  EXPECT_TRUE(b.ok);
  EXPECT_EQ(b.data["token"], 777);
  ASSERT_TRUE(waitEvents(1));
  EXPECT_EQ(events[0]["meta_event_type"], "heartbeat");  // an event with "status" is no answer
}

TEST_F(ConnectedTest, AnUnansweredCallTimesOutOnTheClockAndTheLinkStaysUsable) {
  VirtualClock clock(SystemTime{}, VirtualClock::Mode::kManual);
  connect(clock, "secret");
  peer.neverAnswer("get_csrf_token");
  auto pending = std::async(std::launch::async, [&] { return connection->call("get_csrf_token"); });
  auto request = peer.nextRequest();
  ASSERT_TRUE(request);
  ASSERT_TRUE(clock.waitForSleepers(1));
  EXPECT_NE(pending.wait_for(50ms), std::future_status::ready);
  clock.advance(connection->options().callTimeout);
  CallResult r = pending.get();
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.status, "timeout");
  // The late answer is dropped; later calls are matched to their own answers.
  peer.send(
      {{"status", "ok"}, {"retcode", 0}, {"data", {{"token", 1}}}, {"echo", (*request)["echo"]}});
  peer.answer("get_login_info", Json{{"user_id", 4242}});
  auto later = std::async(std::launch::async, [&] { return connection->call("get_login_info"); });
  CallResult l = later.get();
  EXPECT_TRUE(l.ok);
  EXPECT_EQ(l.data["user_id"], 4242);
}

TEST_F(ConnectedTest, FailedAnswersCarryTheirRetcode) {
  connect(realClock, "secret");
  peer.fail("set_group_kick", 1404);
  CallResult r = connection->call("set_group_kick", Json{{"group_id", 1}});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.retcode, 1404);
  EXPECT_EQ(r.status, "failed");
}

TEST_F(ConnectedTest, ARetcodeTooLargeForANumberNeitherEndsTheLinkNorTheProgram) {
  connect(realClock, "secret");
  peer.sendRaw(R"({"status":"failed","retcode":"99999999999999999999999"})");
  peer.send({{"post_type", "notice"},
             {"notice_type", "group_increase"},
             {"sub_type", "approve"},
             {"group_id", 100},
             {"user_id", 5},
             {"operator_id", 6}});
  ASSERT_TRUE(waitEvents(1));
  EXPECT_EQ(events.back()["notice_type"], "group_increase");
}

TEST_F(ConnectedTest, MalformedAndUnknownFramesAreLoggedAndDropped) {
  LogCapture log;
  connect(realClock, "secret");
  peer.sendRaw("this is no json");
  peer.sendRaw("[1,2,3]");
  peer.sendRaw(R"({"hello":"world"})");
  peer.sendRaw(R"({"post_type":"message","message_type":"group","group_id":"x"})");
  peer.send({{"post_type", "notice"},
             {"notice_type", "group_increase"},
             {"sub_type", "approve"},
             {"group_id", 100},
             {"user_id", 5},
             {"operator_id", 6}});
  ASSERT_TRUE(waitEvents(2));  // the broken message event still reaches the mapper
  EXPECT_EQ(events.back()["notice_type"], "group_increase");
  EXPECT_TRUE(log.contains("malformed frame dropped: this is no json"));
  EXPECT_TRUE(log.contains("malformed frame dropped: [1,2,3]"));
  EXPECT_TRUE(log.contains("unknown frame dropped"));
  peer.answer("get_login_info", Json{{"user_id", 1}});
  EXPECT_TRUE(connection->call("get_login_info").ok);
}

// A segment value nested 100,000 levels deep (about 200 KB) in an otherwise
// valid group message.
std::string DeeplyNestedMessage(size_t levels) {
  return R"({"post_type":"message","message_type":"group","group_id":100,"user_id":20001,)"
         R"("message":[{"type":"face","data":{"id":)" +
         std::string(levels, '[') + std::string(levels, ']') + "}}]}";
}

TEST_F(ConnectedTest, AFrameNestedTooDeeplyIsDroppedWithOneShortLineAndTheLinkGoesOn) {
  LogCapture log;
  std::vector<GroupMessageRecord> messages;
  std::mutex recordsMu;
  EventHandlers handlers;
  handlers.groupMessage = [&](const GroupMessageRecord& r) {
    std::lock_guard lock(recordsMu);
    messages.push_back(r);
  };
  connection = std::make_unique<Connection>(realClock, FastOptions(peer.url(), "secret"));
  connection->setEventHandler([&](const Json& e) { RouteEvent(e, handlers); });
  ASSERT_TRUE(connection->start());
  ASSERT_TRUE(connection->waitUntilConnected());

  const std::string deep = DeeplyNestedMessage(100000);
  peer.sendRaw(deep);
  // Just within the bound: a real event of that depth still arrives.
  peer.sendRaw(R"({"post_type":"message","message_type":"group","group_id":100,"user_id":20002,)"
               R"("message":[{"type":"face","data":{"id":)" +
               std::string(96, '[') + std::string(96, ']') + "}}]}");
  peer.sendRaw(R"({"post_type":"message","message_type":"group","group_id":100,"user_id":20003,)"
               R"("message":"after"})");
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(recordsMu);
    return messages.size() >= 2;
  }));
  {
    std::lock_guard lock(recordsMu);
    EXPECT_EQ(messages[0].fromQQ, 20002);
    EXPECT_EQ(messages[1].fromQQ, 20003);
    EXPECT_EQ(messages[1].msg, "after");
  }
  std::vector<std::string> dropped;
  for (const auto& line : log.lines())
    if (line.find("levels deep") != std::string::npos) dropped.push_back(line);
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_THAT(dropped[0], ::testing::HasSubstr(std::to_string(deep.size()) + " bytes"));
  EXPECT_LT(dropped[0].size(), 500u);  // an excerpt, not the frame
  EXPECT_EQ(connection->state(), LinkState::kConnected);
}

TEST_F(ConnectedTest, ADroppedConnectionFailsPendingCallsAndIsReestablished) {
  LogCapture log;
  connect(realClock, "secret");
  peer.neverAnswer("get_group_member_list");
  auto pending = std::async(std::launch::async, [&] {
    return connection->call("get_group_member_list", Json{{"group_id", 1}});
  });
  ASSERT_TRUE(peer.nextRequest());
  peer.dropClient();
  // Fails at once with the link, not after the 5 s call time-out.
  ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(pending.get().status, "disconnected");
  // Already no longer connected: whoever waits for the link now waits for the next.
  EXPECT_NE(connection->state(), LinkState::kConnected);
  ASSERT_TRUE(peer.waitForConnections(2));
  ASSERT_TRUE(connection->waitUntilConnected());
  EXPECT_TRUE(log.contains("lost"));
  peer.answer("get_login_info", Json{{"user_id", 2}});
  EXPECT_TRUE(Eventually([&] { return connection->call("get_login_info").ok; }));
}

TEST(Connection, WithNobodyListeningItKeepsRetryingWithADoublingBackoff) {
  LogCapture log;
  VirtualClock clock(SystemTime{}, VirtualClock::Mode::kManual);
  const uint16_t port = FreePort();
  ConnectionOptions o = FastOptions("ws://127.0.0.1:" + std::to_string(port));
  o.firstRetry = 10ms;
  o.maxRetry = 40ms;
  Connection c(clock, o);
  ASSERT_TRUE(c.start());
  auto sleepingAfter = [&](uint64_t attempts) {
    return Eventually([&] { return c.attempts() == attempts && clock.sleepers() == 1; });
  };
  ASSERT_TRUE(sleepingAfter(1));
  EXPECT_EQ(c.state(), LinkState::kRetrying);
  CallResult r = c.call("get_login_info");  // fails at once while disconnected
  EXPECT_EQ(r.status, "disconnected");
  clock.advance(10ms);  // first retry after 10 ms
  ASSERT_TRUE(sleepingAfter(2));
  clock.advance(10ms);  // the second waits 20 ms
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(c.attempts(), 2u);
  clock.advance(10ms);
  ASSERT_TRUE(sleepingAfter(3));
  clock.advance(40ms);  // then 40, the cap
  ASSERT_TRUE(sleepingAfter(4));
  clock.advance(40ms);
  ASSERT_TRUE(sleepingAfter(5));
  EXPECT_TRUE(log.contains("waiting for a OneBot v11 implementation at ws://127.0.0.1:" +
                           std::to_string(port)));
  c.stop();
  EXPECT_EQ(c.state(), LinkState::kStopped);
}

TEST(Connection, ARefusedTokenIsAClearErrorAndEndsTheRetries) {
  for (auto policy : {ScriptedPeer::BadToken::kHttp403, ScriptedPeer::BadToken::kRetcode1403}) {
    SCOPED_TRACE(policy == ScriptedPeer::BadToken::kHttp403 ? "HTTP 403" : "retcode 1403");
    LogCapture log;
    ScriptedPeer peer("right", policy);
    RealClock clock;
    Connection c(clock, FastOptions(peer.url(), "wrong"));
    ASSERT_TRUE(c.start());
    ASSERT_TRUE(Eventually([&] { return c.state() == LinkState::kUnauthorized; }));
    EXPECT_FALSE(c.waitUntilConnected());
    std::this_thread::sleep_for(200ms);  // ten retry periods: no new attempt
    EXPECT_EQ(peer.accepted(), 1);
    EXPECT_EQ(c.attempts(), 1u);
    EXPECT_TRUE(log.contains("refused the access token"));
  }
}

TEST_F(ConnectedTest, StopEndsPendingCallsAndTheThread) {
  connect(realClock, "secret");
  peer.neverAnswer("get_cookies");
  auto pending = std::async(std::launch::async, [&] { return connection->call("get_cookies"); });
  ASSERT_TRUE(peer.nextRequest());
  connection->stop();
  ASSERT_EQ(pending.wait_for(2s), std::future_status::ready);
  EXPECT_FALSE(pending.get().ok);
  EXPECT_EQ(connection->state(), LinkState::kStopped);
  EXPECT_EQ(connection->call("get_cookies").status, "stopped");
}

// ---- the HostApi over the wire ----

class HostTest : public ConnectedTest {
 protected:
  void SetUp() override {
    connect(realClock, "secret");
    host = std::make_unique<OneBotHost>(*connection);
  }
  Json lastParams(const std::string& action) {
    auto r = peer.nextRequest(action);
    return r ? (*r)["params"] : Json();
  }
  std::unique_ptr<OneBotHost> host;
};

TEST_F(HostTest, ActingCallsBecomeTheirActionsWithTypedParams) {
  peer.answer("send_group_msg", Json{{"message_id", 31}});
  EXPECT_EQ(host->CQ_sendGroupMsg(100, "[CQ:at,qq=5] 你好, O'Neil"), 0);
  EXPECT_EQ(
      lastParams("send_group_msg"),
      (Json{{"group_id", 100}, {"message", "[CQ:at,qq=5] 你好, O'Neil"}, {"auto_escape", false}}));
  host->CQ_sendPrivateMsg(5, "hi");
  EXPECT_EQ(lastParams("send_private_msg"),
            (Json{{"user_id", 5}, {"message", "hi"}, {"auto_escape", false}}));
  EXPECT_EQ(host->CQ_setGroupKick(100, 5, true), 0);
  EXPECT_EQ(lastParams("set_group_kick"),
            (Json{{"group_id", 100}, {"user_id", 5}, {"reject_add_request", true}}));
  host->CQ_setGroupBan(100, 5, 600);
  EXPECT_EQ(lastParams("set_group_ban"),
            (Json{{"group_id", 100}, {"user_id", 5}, {"duration", 600}}));
  host->CQ_setGroupWholeBan(100, true);
  EXPECT_EQ(lastParams("set_group_whole_ban"), (Json{{"group_id", 100}, {"enable", true}}));
  EXPECT_TRUE(host->canRecall());
  host->recallMessage(-12345);
  EXPECT_EQ(lastParams("delete_msg"), (Json{{"message_id", -12345}}));
  host->CQ_setGroupCard(100, 5, "新人");
  EXPECT_EQ(lastParams("set_group_card"),
            (Json{{"group_id", 100}, {"user_id", 5}, {"card", "新人"}}));
  host->CQ_setGroupAddRequestV2("flag-1", kRequestGroupAdd, kRequestRefuse, "你的等级不符合要求!");
  Json p = lastParams("set_group_add_request");
  EXPECT_EQ(p["flag"], "flag-1");
  EXPECT_EQ(p["sub_type"], "add");
  EXPECT_EQ(p["approve"], false);
  EXPECT_EQ(p["reason"], "你的等级不符合要求!");
  host->CQ_setGroupAddRequestV2("flag-2", kRequestGroupAdd, kRequestApprove, "");
  EXPECT_EQ(lastParams("set_group_add_request")["approve"], true);
}

TEST_F(HostTest, TextThatIsNoValidUtf8IsSentWithReplacementsNotDropped) {
  peer.answer("send_group_msg", Json{{"message_id", 1}});
  host->CQ_sendGroupMsg(100, "坏\xFF\xFE字");
  EXPECT_EQ(lastParams("send_group_msg")["message"], "坏\uFFFD\uFFFD字");
}

// Run-log messages that contain `part`.
std::vector<std::string> RunLogWith(const RunLog& log, const std::string& part) {
  std::vector<std::string> out;
  for (const RunLogEntry& e : log.entries())
    if (e.message.find(part) != std::string::npos) out.push_back(e.message);
  return out;
}

TEST_F(HostTest, ARefusedActingCallIsReportedInTheRunLogWithItsGroupAndMember) {
  RunLog runLog(realClock);
  host->setRunLog(&runLog);
  peer.fail("set_group_kick", 102);
  peer.fail("send_private_msg", 1200);
  host->CQ_setGroupBan(1, 3, 60);  // answered ok: nothing to report
  host->CQ_setGroupKick(100, 20001, false);
  host->CQ_sendPrivateMsg(20002, "hi");
  ASSERT_TRUE(Eventually([&] { return RunLogWith(runLog, "失败").size() == 2; }));
  EXPECT_THAT(RunLogWith(runLog, "set_group_kick").at(0),
              AllOf(HasSubstr("踢人失败"), HasSubstr("群100"), HasSubstr("成员20001"),
                    HasSubstr("retcode 102")));
  EXPECT_THAT(RunLogWith(runLog, "send_private_msg").at(0),
              AllOf(HasSubstr("失败"), HasSubstr("成员20002")));
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(RunLogWith(runLog, "set_group_ban").empty());
  // A join request's answer is named by the request it answers.
  peer.fail("set_group_add_request", 100);
  host->noteRequest("flag-7", 100, 20003);
  host->CQ_setGroupAddRequestV2("flag-7", kRequestGroupAdd, kRequestApprove, "");
  ASSERT_TRUE(Eventually([&] { return RunLogWith(runLog, "失败").size() == 3; }));
  EXPECT_THAT(
      RunLogWith(runLog, "set_group_add_request").at(0),
      AllOf(HasSubstr("处理加群请求失败"), HasSubstr("群100 成员20003"), HasSubstr("flag-7")));
}

TEST_F(HostTest, ActingCallsGoOutWithoutWaitingForSlowAnswersWhileReadsWaitForTheirs) {
  RunLog runLog(realClock);
  host->setRunLog(&runLog);
  peer.delay("set_group_kick", 200ms);
  peer.delay("get_login_info", 200ms);
  peer.answer("get_login_info", Json{{"user_id", 10000}});
  const auto start = std::chrono::steady_clock::now();
  for (int64_t member = 1; member <= 20; ++member) {
    host->CQ_sendGroupMsg(100, "warning " + std::to_string(member));
    host->CQ_setGroupKick(100, member, false);
  }
  // Twenty kicks answered 200 ms each would take 4 s one after the other.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  for (int64_t member = 1; member <= 20; ++member) {
    auto msg = peer.nextRequest(2s);
    auto kick = peer.nextRequest(2s);
    ASSERT_TRUE(msg && kick);
    EXPECT_EQ((*msg)["action"], "send_group_msg");
    EXPECT_EQ((*kick)["action"], "set_group_kick");
    EXPECT_EQ((*kick)["params"]["user_id"], member);  // in call order
  }
  const auto readStart = std::chrono::steady_clock::now();
  EXPECT_EQ(host->CQ_getLoginQQ(), 10000);  // a read waits for its late answer
  EXPECT_GE(std::chrono::steady_clock::now() - readStart, 150ms);
  std::this_thread::sleep_for(300ms);  // the kicks' late answers: all good
  EXPECT_TRUE(RunLogWith(runLog, "失败").empty());
}

TEST_F(ConnectedTest, ANeverAnsweredActingCallIsReportedAfterTheCallTimeOut) {
  ConnectionOptions o = FastOptions(peer.url(), "secret");
  o.callTimeout = 300ms;
  o.sweepInterval = 20ms;
  connect(realClock, o);
  RunLog runLog(realClock);
  OneBotHost host(*connection);
  host.setRunLog(&runLog);
  peer.neverAnswer("set_group_card");
  host.CQ_setGroupCard(100, 7, "新人");
  ASSERT_TRUE(peer.nextRequest("set_group_card"));
  ASSERT_TRUE(Eventually([&] { return !RunLogWith(runLog, "失败").empty(); }, 3s));
  EXPECT_THAT(RunLogWith(runLog, "失败").at(0),
              AllOf(HasSubstr("set_group_card"), HasSubstr("群100 成员7"), HasSubstr("无应答")));
}

TEST_F(HostTest, ActingCallsMadeWhileTheLinkIsDownAreSentInOrderAfterTheReconnect) {
  RunLog runLog(realClock);
  host->setRunLog(&runLog);
  // A kick sent just before the drop and never answered is sent again.
  peer.neverAnswer("set_group_kick");
  host->CQ_setGroupKick(100, 1, false);
  ASSERT_TRUE(peer.nextRequest("set_group_kick"));
  peer.setAccepting(false);
  peer.dropClient();
  ASSERT_TRUE(Eventually([&] { return connection->state() != LinkState::kConnected; }));
  peer.answer("set_group_kick", Json());
  host->CQ_setGroupKick(100, 2, true);
  host->CQ_setGroupBan(100, 3, 600);
  host->CQ_setGroupWholeBan(100, true);
  host->CQ_setGroupCard(100, 4, "新人");
  host->CQ_sendGroupMsg(100, "踢出");
  host->CQ_setGroupAddRequestV2("flag-9", kRequestGroupAdd, kRequestApprove, "");
  std::this_thread::sleep_for(100ms);  // a few attempts refused meanwhile
  peer.setAccepting(true);
  std::vector<std::string> actions;
  for (int i = 0; i < 7; ++i) {
    auto r = peer.nextRequest(3s);
    ASSERT_TRUE(r) << i;
    actions.push_back((*r)["action"]);
    if (i < 2) {
      EXPECT_EQ((*r)["params"]["user_id"], i + 1);
    }
  }
  EXPECT_THAT(actions, ElementsAre("set_group_kick", "set_group_kick", "set_group_ban",
                                   "set_group_whole_ban", "set_group_card", "send_group_msg",
                                   "set_group_add_request"));
  std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(RunLogWith(runLog, "失败").empty());
}

TEST_F(ConnectedTest, HeldActingCallsExpireByCountAndByAgeAndSayWhichFailed) {
  ConnectionOptions o = FastOptions(peer.url(), "secret");
  o.maxHeldCalls = 2;
  o.maxHeldAge = 300ms;
  o.sweepInterval = 20ms;
  connect(realClock, o);
  RunLog runLog(realClock);
  OneBotHost host(*connection);
  host.setRunLog(&runLog);
  peer.setAccepting(false);
  peer.dropClient();
  ASSERT_TRUE(Eventually([&] { return connection->state() != LinkState::kConnected; }));
  host.CQ_setGroupKick(100, 1, false);
  host.CQ_setGroupKick(100, 2, false);
  host.CQ_setGroupKick(100, 3, false);  // the third pushes the oldest out
  ASSERT_EQ(RunLogWith(runLog, "失败").size(), 1u);
  EXPECT_THAT(RunLogWith(runLog, "失败").at(0),
              AllOf(HasSubstr("踢人失败"), HasSubstr("群100 成员1"), HasSubstr("过期")));
  ASSERT_TRUE(Eventually([&] { return RunLogWith(runLog, "失败").size() == 3; }, 3s));
  EXPECT_EQ(RunLogWith(runLog, "成员2").size(), 1u);
  EXPECT_EQ(RunLogWith(runLog, "成员3").size(), 1u);
  peer.setAccepting(true);
  ASSERT_TRUE(peer.waitForConnections(2));
  EXPECT_FALSE(peer.nextRequest("set_group_kick", 300ms));  // expired calls are never sent
}

// A link given up for its absence fails what it held as expired, as the age
// bound does; a plain stop says the service stopped.
TEST_F(ConnectedTest, HeldCallsOfALinkGivenUpForItsAbsenceFailAsExpired) {
  for (const bool absent : {true, false}) {
    ConnectionOptions o = FastOptions(peer.url(), "secret");
    o.maxHeldAge = 60000ms;  // far away: only the stop can end them
    connect(realClock, o);
    RunLog runLog(realClock);
    OneBotHost host(*connection);
    host.setRunLog(&runLog);
    peer.setAccepting(false);
    peer.dropClient();
    ASSERT_TRUE(Eventually([&] { return connection->state() != LinkState::kConnected; }));
    host.CQ_setGroupKick(100, 1, false);
    host.CQ_setGroupBan(100, 2, 600);
    EXPECT_TRUE(RunLogWith(runLog, "失败").empty()) << absent;
    if (absent)
      connection->stopAfterAbsence();
    else
      connection->stop();
    const auto failed = RunLogWith(runLog, "失败");
    ASSERT_EQ(failed.size(), 2u) << absent;
    for (const std::string& line : failed) {
      EXPECT_THAT(line, HasSubstr(absent ? "已过期" : "服务停止时未完成")) << line;
      EXPECT_THAT(line, ::testing::Not(HasSubstr(absent ? "服务停止时未完成" : "已过期"))) << line;
    }
    EXPECT_THAT(failed[0], HasSubstr("群100 成员1"));
    host.setRunLog(nullptr);
    connection.reset();
    peer.setAccepting(true);
  }
}

TEST_F(ConnectedTest, ALoneSurrogateEscapeIsReadAsAReplacementCharacter) {
  connect(realClock, "secret");
  peer.sendRaw(R"({"post_type":"message","message_type":"group","group_id":100,"user_id":5,)"
               R"("message":"加我微信\ud800 \udc00\ud83d\ude00 \\ud800"})");
  ASSERT_TRUE(waitEvents(1));
  EXPECT_EQ(events[0]["message"], "加我微信\uFFFD \uFFFD\U0001F600 \\ud800");
}

TEST_F(HostTest, ReadCallsAnswerFromTheirData) {
  peer.answer("get_login_info", Json{{"user_id", 10000}, {"nickname", "青榆"}});
  peer.answer("get_cookies", [](const Json& params) {
    return std::optional<Json>(Json{
        {"cookies", "uin=o10000; skey=@abc; domain=" + params.value("domain", std::string())}});
  });
  peer.answer("get_csrf_token", Json{{"token", 123456}});
  EXPECT_EQ(host->CQ_getLoginQQ(), 10000);
  EXPECT_EQ(host->CQ_getLoginNick(), "青榆");
  EXPECT_EQ(host->CQ_getCookies(), "uin=o10000; skey=@abc; domain=qun.qq.com");
  EXPECT_EQ(host->CQ_getCsrfToken(), 123456);
  // A later failure keeps the account it already knew.
  peer.fail("get_login_info", 100);
  EXPECT_EQ(host->CQ_getLoginQQ(), 10000);
}

TEST_F(HostTest, TheMemberListIsMappedToLegacyRecords) {
  peer.answer("get_group_member_list", Json::array({{{"group_id", 100},
                                                     {"user_id", 1},
                                                     {"nickname", "群主"},
                                                     {"card", ""},
                                                     {"sex", "female"},
                                                     {"age", 20},
                                                     {"area", "杭州"},
                                                     {"join_time", 1700000000},
                                                     {"last_sent_time", 1760000000},
                                                     {"level", "5"},
                                                     {"role", "owner"},
                                                     {"unfriendly", false},
                                                     {"title", "头衔"},
                                                     {"title_expire_time", 0},
                                                     {"card_changeable", true}},
                                                    {{"group_id", 100},
                                                     {"user_id", "2"},
                                                     {"nickname", "O'Neil"},
                                                     {"role", "admin"},
                                                     {"sex", "male"},
                                                     {"unfriendly", true}},
                                                    {{"group_id", 100},
                                                     {"user_id", 3},
                                                     {"role", "member"},
                                                     {"sex", "unknown"},
                                                     {"join_time", 0}}}));
  std::vector<GroupMember> members;
  ASSERT_EQ(host->CQ_getGroupMemberList(100, members), 0);
  EXPECT_EQ(lastParams("get_group_member_list"), (Json{{"group_id", 100}}));
  ASSERT_EQ(members.size(), 3u);
  EXPECT_EQ(members[0].permission, 3);
  EXPECT_EQ(members[0].sex, 1);
  EXPECT_EQ(members[0].joinTime, 1700000000);
  EXPECT_EQ(members[0].lastSpeakTime, 1760000000);
  EXPECT_EQ(members[0].area, "杭州");
  EXPECT_TRUE(members[0].cardChangeable);
  EXPECT_EQ(members[1].account, 2);
  EXPECT_EQ(members[1].permission, 2);
  EXPECT_EQ(members[1].sex, 0);
  EXPECT_TRUE(members[1].unfriendly);
  EXPECT_EQ(members[1].nickname, "O'Neil");
  EXPECT_EQ(members[2].permission, 1);
  EXPECT_EQ(members[2].sex, 255);
  EXPECT_EQ(members[2].group, 100);

  // Failure, an empty list or a broken entry leave the caller's list as it was.
  peer.fail("get_group_member_list", 200);
  EXPECT_EQ(host->CQ_getGroupMemberList(100, members), kMemberListFailed);
  peer.fail("get_group_member_list", 0);
  peer.answer("get_group_member_list", Json::array());
  EXPECT_EQ(host->CQ_getGroupMemberList(100, members), kMemberListFailed);
  peer.answer("get_group_member_list", Json::array({{{"user_id", 9}}, {{"nickname", "no id"}}}));
  EXPECT_EQ(host->CQ_getGroupMemberList(100, members), kMemberListFailed);
  EXPECT_EQ(members.size(), 3u);
}

// ---- events over the wire ----

TEST_F(ConnectedTest, EventsArriveAsTheRecordsOfTheirKind) {
  std::vector<GroupMessageRecord> groupMessages;
  std::vector<JoinRequestRecord> requests;
  std::vector<MemberChangeRecord> increases, decreases;
  std::atomic<int> handled{0};
  EventHandlers handlers;
  handlers.groupMessage = [&](const GroupMessageRecord& r) {
    groupMessages.push_back(r);
    ++handled;
  };
  handlers.joinRequest = [&](const JoinRequestRecord& r) {
    requests.push_back(r);
    ++handled;
  };
  handlers.memberIncrease = [&](const MemberChangeRecord& r) {
    increases.push_back(r);
    ++handled;
  };
  handlers.memberDecrease = [&](const MemberChangeRecord& r) {
    decreases.push_back(r);
    ++handled;
  };
  connection = std::make_unique<Connection>(realClock, FastOptions(peer.url(), "secret"));
  connection->setEventHandler([&](const Json& e) { RouteEvent(e, handlers); });
  ASSERT_TRUE(connection->start());
  ASSERT_TRUE(connection->waitUntilConnected());

  peer.send(
      {{"post_type", "meta_event"}, {"meta_event_type", "lifecycle"}, {"sub_type", "connect"}});
  peer.send(
      {{"time", 1765112709},
       {"self_id", 10000},
       {"post_type", "message"},
       {"message_type", "group"},
       {"sub_type", "normal"},
       {"message_id", 7},
       {"group_id", 100},
       {"user_id", 20001},
       {"anonymous", nullptr},
       {"font", 0},
       {"message", Json::array({{{"type", "at"}, {"data", {{"qq", "10000"}, {"name", "青榆"}}}},
                                {{"type", "text"}, {"data", {{"text", " 加我微信[a,b]"}}}}})}});
  peer.send({{"post_type", "message"},
             {"message_type", "group"},
             {"sub_type", "anonymous"},
             {"message_id", 8},
             {"group_id", 100},
             {"user_id", 80000000},
             {"anonymous", {{"id", 1}, {"name", "匿名"}, {"flag", "f"}}},
             {"message", "hi"}});
  peer.send({{"post_type", "request"},
             {"request_type", "group"},
             {"sub_type", "add"},
             {"group_id", 100},
             {"user_id", 30001},
             {"comment", "我想进群"},
             {"flag", "req-9"},
             {"invitor_id", 12345},
             {"time", 1765112710}});
  peer.send({{"post_type", "notice"},
             {"notice_type", "group_increase"},
             {"sub_type", "invite"},
             {"group_id", 100},
             {"operator_id", 12345},
             {"user_id", 30001},
             {"time", 1765112711}});
  peer.send({{"post_type", "notice"},
             {"notice_type", "group_decrease"},
             {"sub_type", "kick"},
             {"group_id", 100},
             {"operator_id", 1},
             {"user_id", 30001}});
  ASSERT_TRUE(Eventually([&] { return handled.load() == 5; }));
  ASSERT_EQ(groupMessages.size(), 2u);
  EXPECT_EQ(groupMessages[0].msg, "[CQ:at,qq=10000] 加我微信&#91;a,b&#93;");
  EXPECT_EQ(groupMessages[0].fromQQ, 20001);
  EXPECT_EQ(groupMessages[0].msgId, 7);
  EXPECT_EQ(groupMessages[1].fromQQ, kAnonymousSender);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].responseFlag, "req-9");
  EXPECT_EQ(requests[0].subType, 1);
  EXPECT_THAT(requests[0].msg, ::testing::HasSubstr("我想进群"));
  ASSERT_EQ(increases.size(), 1u);
  EXPECT_EQ(increases[0].subType, 2);
  EXPECT_EQ(increases[0].fromQQ, 12345);
  EXPECT_EQ(increases[0].beingOperateQQ, 30001);
  ASSERT_EQ(decreases.size(), 1u);
  EXPECT_EQ(decreases[0].subType, 2);
}

// ---- QQ services through the implementation ----

class FallbackWeb : public OfflineQqServices {
 public:
  std::string fetchNickname(const std::string& qq) override {
    ++asked;
    return "web:" + qq;
  }
  std::string fetchQqLevel(const std::string&) override {
    ++asked;
    return "3";
  }
  int fetchGroupList(std::vector<GroupListEntry>& entries) override {
    ++asked;
    entries = {{"999", "网页群", "1", "群主"}};
    return 1;
  }
  std::atomic<int> asked{0};
};

TEST_F(HostTest, QqServicesAskTheImplementationFirstAndFallBackToTheWeb) {
  FallbackWeb web;
  OneBotQqServices qq(*connection, web);
  peer.answer("get_stranger_info", [](const Json& p) {
    if (p.value("user_id", 0) == 5)
      return std::optional<Json>(Json{{"nickname", "小五"}, {"qqLevel", 33}});
    return std::optional<Json>(Json{{"nickname", ""}, {"level", 0}});
  });
  EXPECT_EQ(qq.fetchNickname("5"), "小五");
  EXPECT_EQ(qq.fetchQqLevel("5"), "33");
  EXPECT_EQ(qq.fetchNickname("6"), "web:6");  // the implementation did not know
  EXPECT_EQ(qq.fetchQqLevel("6"), "3");
  EXPECT_EQ(qq.fetchNickname("x'; --"), "web:x'; --");  // not an account: never sent

  peer.answer("get_login_info", Json{{"user_id", 10000}});
  peer.answer("get_group_list", Json::array({{{"group_id", 100}, {"group_name", "甲"}},
                                             {{"group_id", 200}, {"group_name", "乙"}},
                                             {{"group_id", 300}, {"group_name", "丙"}}}));
  peer.answer("get_group_member_info", [](const Json& p) {
    const int64_t g = p.value("group_id", int64_t{0});
    EXPECT_EQ(p.value("user_id", int64_t{0}), 10000);
    const char* role = g == 100 ? "admin" : g == 200 ? "member" : "owner";
    return std::optional<Json>(Json{{"role", role}});
  });
  std::vector<GroupListEntry> groups;
  ASSERT_EQ(qq.fetchGroupList(groups), 3);
  EXPECT_EQ(groups[0], (GroupListEntry{"300", "丙", "10000", "群主"}));
  EXPECT_EQ(groups[1], (GroupListEntry{"200", "乙", "", "成员"}));
  EXPECT_EQ(groups[2], (GroupListEntry{"100", "甲", "", "管理员"}));

  peer.fail("get_group_list", 1404);
  ASSERT_EQ(qq.fetchGroupList(groups), 1);
  EXPECT_EQ(groups[0].group, "999");
}

TEST_F(HostTest, QqServicesWaitForADownLinkInsteadOfAskingTheWeb) {
  FallbackWeb web;
  OneBotQqServices qq(*connection, web);
  peer.answer("get_stranger_info", Json{{"nickname", "小五"}});
  peer.answer("get_login_info", Json{{"user_id", 10000}});
  peer.setAccepting(false);
  peer.dropClient();
  ASSERT_TRUE(Eventually([&] { return connection->state() != LinkState::kConnected; }));
  auto nick = std::async(std::launch::async, [&] { return qq.fetchNickname("5"); });
  EXPECT_EQ(nick.wait_for(300ms), std::future_status::timeout);
  peer.setAccepting(true);
  ASSERT_EQ(nick.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(nick.get(), "小五");
  EXPECT_EQ(web.asked, 0);

  // A group list cut off by a drop is asked again on the next link.
  std::atomic<int> lists{0};
  peer.answer("get_group_list", ScriptedPeer::Answer([&](const Json&) {
                if (lists++ == 0) {
                  peer.dropClient();
                  return std::optional<Json>();
                }
                return std::optional<Json>(Json::array({{{"group_id", 100}}}));
              }));
  peer.answer("get_group_member_info", Json{{"role", "owner"}});
  std::vector<GroupListEntry> groups;
  ASSERT_EQ(qq.fetchGroupList(groups), 1);
  EXPECT_EQ(groups[0].role, "群主");
  EXPECT_EQ(lists.load(), 2);
  EXPECT_EQ(web.asked, 0);

  // A stopped connection answers nothing, and asks the web nothing either.
  peer.setAccepting(false);
  peer.dropClient();
  ASSERT_TRUE(Eventually([&] { return connection->state() != LinkState::kConnected; }));
  auto stopped = std::async(std::launch::async, [&] { return qq.fetchNickname("5"); });
  std::this_thread::sleep_for(50ms);
  connection->stop();
  ASSERT_EQ(stopped.wait_for(2s), std::future_status::ready);
  EXPECT_EQ(stopped.get(), "");
  EXPECT_EQ(web.asked, 0);
}

}  // namespace
}  // namespace bw::onebot
