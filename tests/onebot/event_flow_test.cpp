// Events read only as fast as the robot takes them: the connection, the
// byte-bounded event queues and a scripted OneBot peer on 127.0.0.1. A burst
// beyond the queues' budget waits in the socket, not in memory; a worker that
// waits for a read's answer meanwhile still gets it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "events/event_budget.h"
#include "events/event_intake.h"
#include "events/managed_groups.h"
#include "onebot/connection.h"
#include "onebot/events.h"
#include "scripted_peer.h"
#include "support/log_capture.h"

namespace bw::onebot {
namespace {

using namespace std::chrono_literals;

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 10000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

constexpr size_t kBudget = 64 * 1024;
constexpr size_t kMessageBytes = 8 * 1024;
constexpr int kBurst = 300;  // 2.4 MB: forty times the budget

// The robot's side: connection -> RouteEvent -> the queues (with their byte
// budget) -> a worker whose first message waits for the test, then reads.
class Robot {
 public:
  explicit Robot(ConnectionOptions options, Clock* clock = nullptr) {
    managed_.replace({100});
    EventHandlers work;
    work.groupMessage = [this](const GroupMessageRecord& r) { handle(r); };
    intake_ =
        std::make_unique<EventIntake>(managed_, std::move(work), QueueMode::kThreaded, &budget);
    intake_->setRunning(true);
    connection = std::make_unique<Connection>(clock ? *clock : clock_, std::move(options));
    EventHandlers entry;
    entry.groupMessage = [this](const GroupMessageRecord& r) {
      ++routed;
      intake_->onGroupMessage(r);
    };
    connection->setEventHandler([entry](const Json& e) { RouteEvent(e, entry); });
    connection->setEventGate([this] { return budget.hasRoom(); });
    budget.setRoomListener([this] { connection->resumeEvents(); });
  }
  ~Robot() {
    letFirstGo();
    connection->stop();  // a worker still waiting for an answer gives up at once
    intake_->stop();
  }

  void letFirstGo() {
    std::lock_guard lock(mu_);
    firstMayGo_ = true;
    cv_.notify_all();
  }
  std::vector<int32_t> handled() {
    std::lock_guard lock(mu_);
    return handled_;
  }
  bool firstStarted() {
    std::lock_guard lock(mu_);
    return firstStarted_;
  }
  CallResult answer() {
    std::lock_guard lock(mu_);
    return answer_;
  }

  RealClock clock_;
  EventBudget budget{kBudget};
  std::unique_ptr<Connection> connection;
  std::atomic<int> routed{0};

 private:
  void handle(const GroupMessageRecord& r) {
    if (r.msgId == 1) {
      std::unique_lock lock(mu_);
      firstStarted_ = true;
      cv_.wait(lock, [&] { return firstMayGo_; });
      lock.unlock();
      // A read, as the rules make them: its answer comes behind the burst.
      CallResult a =
          connection->call("get_group_member_info", Json{{"group_id", 100}, {"user_id", r.fromQQ}});
      lock.lock();
      answer_ = std::move(a);
    }
    std::lock_guard lock(mu_);
    handled_.push_back(r.msgId);
  }

  ManagedGroups managed_;
  std::unique_ptr<EventIntake> intake_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool firstMayGo_ = false;
  bool firstStarted_ = false;
  std::vector<int32_t> handled_;
  CallResult answer_;
};

Json Message(int64_t id) {
  return {{"time", 1765112709},
          {"self_id", 10000},
          {"post_type", "message"},
          {"message_type", "group"},
          {"sub_type", "normal"},
          {"message_id", id},
          {"group_id", 100},
          {"user_id", 20000 + id},
          {"message", std::string(kMessageBytes, 'a')}};
}

struct BurstCase {
  const char* name;
  size_t inMemory;  // maxParkedEventBytes
  size_t inFile;    // maxSpooledEventBytes
  bool drops;       // whether the wait is too small for the burst
};

class EventFlowTest : public ::testing::TestWithParam<BurstCase> {};

TEST_P(EventFlowTest, ABurstBeyondTheBudgetWaitsInTheSocketAndAWaitingReadStillGetsItsAnswer) {
  const BurstCase& c = GetParam();
  test::ScriptedPeer peer;
  peer.answer("get_group_member_info", Json{{"role", "member"}});
  ConnectionOptions o;
  o.url = peer.url();
  o.callTimeout = 10000ms;
  o.maxParkedEventBytes = c.inMemory;
  o.maxSpooledEventBytes = c.inFile;
  Robot robot(o);
  test::LogCapture log;
  ASSERT_TRUE(robot.connection->start());
  ASSERT_TRUE(robot.connection->waitUntilConnected());

  for (int64_t i = 1; i <= kBurst; ++i) peer.send(Message(i));
  ASSERT_TRUE(Eventually([&] { return robot.connection->eventBacklog().readingPaused; }));
  ASSERT_TRUE(robot.firstStarted());
  // The worker holds the first message: what the queues took is within the
  // budget (and one record), and the rest of the burst was never read.
  std::this_thread::sleep_for(200ms);
  const size_t taken = static_cast<size_t>(robot.routed.load());
  EXPECT_LE(taken, kBudget / kMessageBytes + 1);
  EXPECT_LE(robot.budget.peak(), kBudget + kMessageBytes + 1024);
  EXPECT_EQ(robot.connection->eventBacklog().parked, 0u);
  EXPECT_TRUE(robot.handled().empty());

  // Now it reads: the answer comes behind the burst, which must be read first.
  robot.letFirstGo();
  ASSERT_TRUE(Eventually([&] { return !robot.answer().status.empty(); }));
  EXPECT_TRUE(robot.answer().ok) << robot.answer().status;
  const auto done = [&] {
    return robot.handled().size() + robot.connection->eventBacklog().dropped ==
           static_cast<size_t>(kBurst);
  };
  ASSERT_TRUE(Eventually(done)) << robot.handled().size() << " handled";
  const Connection::EventBacklog backlog = robot.connection->eventBacklog();
  EXPECT_LE(backlog.peakParkedBytes, c.inMemory);
  EXPECT_LE(backlog.peakSpooledBytes, c.inFile);
  EXPECT_LE(robot.budget.peak(), kBudget + kMessageBytes + 1024);
  const std::vector<int32_t> handled = robot.handled();
  EXPECT_TRUE(std::is_sorted(handled.begin(), handled.end()));  // in arrival order
  EXPECT_EQ(handled.front(), 1);
  if (c.drops) {
    EXPECT_GT(backlog.dropped, 0u);
    EXPECT_FALSE(log.matching({"events are dropped until there is room"}).empty());
    EXPECT_FALSE(log.matching({"events were dropped while the robot's queues were full"}).empty());
  } else {
    EXPECT_EQ(backlog.dropped, 0u);
    EXPECT_EQ(handled.size(), static_cast<size_t>(kBurst));
    EXPECT_GT(backlog.peakSpooledBytes, 0u);  // beyond the memory part, in the file
  }
  // Reading goes on as before once the burst is done.
  peer.send(Message(kBurst + 1));
  EXPECT_TRUE(Eventually([&] { return robot.handled().back() == kBurst + 1; }));
}

// While reading is paused, the answer of a posted call cannot be read: its
// time-out counts only the time the connection was reading.
TEST(EventFlow, APostedCallDoesNotTimeOutWhileReadingIsPaused) {
  test::ScriptedPeer peer;
  peer.answer("get_group_member_info", Json{{"role", "member"}});
  VirtualClock clock(SystemTime{}, VirtualClock::Mode::kManual);
  ConnectionOptions o;
  o.url = peer.url();
  o.callTimeout = 1000ms;
  o.sweepInterval = 100ms;
  Robot robot(o, &clock);
  ASSERT_TRUE(robot.connection->start());
  ASSERT_TRUE(robot.connection->waitUntilConnected());
  for (int64_t i = 1; i <= kBurst; ++i) peer.send(Message(i));
  ASSERT_TRUE(Eventually([&] { return robot.connection->eventBacklog().readingPaused; }));
  std::mutex mu;
  std::vector<std::string> outcomes;
  robot.connection->post("set_group_kick", Json{{"group_id", 100}, {"user_id", 20001}},
                         [&](const CallResult& r) {
                           std::lock_guard lock(mu);
                           outcomes.push_back(r.status);
                         });
  ASSERT_TRUE(peer.nextRequest("set_group_kick"));  // sent; its answer waits behind the burst
  for (int step = 0; step < 50; ++step) {           // five time-outs' worth of paused reading
    ASSERT_TRUE(clock.waitForSleepers(1));          // the sweeper
    clock.advance(100ms);
  }
  ASSERT_TRUE(clock.waitForSleepers(1));  // the sweeper has looked after the last step
  {
    std::lock_guard lock(mu);
    EXPECT_TRUE(outcomes.empty()) << outcomes.front();
  }
  robot.letFirstGo();  // the worker's read: reading resumes, the answers come
  ASSERT_TRUE(Eventually([&] {
    std::lock_guard lock(mu);
    return !outcomes.empty();
  }));
  std::lock_guard lock(mu);
  EXPECT_EQ(outcomes, std::vector<std::string>{"ok"});
}

INSTANTIATE_TEST_SUITE_P(Waits, EventFlowTest,
                         ::testing::Values(BurstCase{"MemoryThenFile", 64 * 1024, 1u << 30, false},
                                           BurstCase{"TooSmall", 16 * 1024, 256 * 1024, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace bw::onebot
