#include "events/event_intake.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "events/event_budget.h"
#include "events/managed_groups.h"
#include "support/log_capture.h"

namespace bw {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// Collects what each handler saw as "kind:group:account" lines.
struct Calls {
  std::mutex mu;
  std::vector<std::string> lines;
  void add(std::string line) {
    std::lock_guard lock(mu);
    lines.push_back(std::move(line));
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mu);
    return lines;
  }
};

EventHandlers Recording(Calls& calls) {
  EventHandlers h;
  h.groupMessage = [&](const GroupMessageRecord& r) {
    calls.add("group:" + std::to_string(r.fromGroup) + ":" + std::to_string(r.fromQQ) + ":" +
              r.msg);
  };
  h.joinRequest = [&](const JoinRequestRecord& r) {
    calls.add("request:" + std::to_string(r.fromGroup) + ":" + std::to_string(r.fromQQ));
  };
  h.memberIncrease = [&](const MemberChangeRecord& r) {
    calls.add("increase:" + std::to_string(r.fromGroup) + ":" + std::to_string(r.beingOperateQQ));
  };
  h.memberDecrease = [&](const MemberChangeRecord& r) {
    calls.add("decrease:" + std::to_string(r.fromGroup) + ":" + std::to_string(r.beingOperateQQ));
  };
  h.privateMessage = [&](const PrivateMessageRecord& r) {
    calls.add("private:" + std::to_string(r.fromQQ) + ":" + r.msg);
  };
  return h;
}

MemberChangeRecord Change(int64_t group, int64_t member) {
  MemberChangeRecord r;
  r.subType = 1;
  r.fromGroup = group;
  r.beingOperateQQ = member;
  return r;
}

class EventIntakeTest : public ::testing::TestWithParam<QueueMode> {
 protected:
  ManagedGroups managed;
  Calls calls;
};

TEST_P(EventIntakeTest, NothingIsQueuedBeforeTheRunningFlag) {
  EventIntake intake(managed, Recording(calls), GetParam());
  managed.replace({100});
  EXPECT_FALSE(intake.running());
  intake.onGroupMessage({1, 100, 5, "早", 0});
  intake.onPrivateMessage({5, "hi", 1, 0});
  intake.onMemberIncrease(Change(100, 7));
  intake.waitIdle();
  EXPECT_THAT(calls.get(), IsEmpty());
  EXPECT_EQ(intake.workersStarted(), 0u);

  intake.setRunning(true);
  // The increase dropped before the flag must not count as the previous one.
  intake.onMemberIncrease(Change(100, 7));
  intake.onGroupMessage({2, 100, 5, "早", 0});
  intake.waitIdle();
  EXPECT_THAT(calls.get(), UnorderedElementsAre("increase:100:7", "group:100:5:早"));
}

TEST_P(EventIntakeTest, GroupMessagesAndRequestsOfUnmanagedGroupsAreDropped) {
  EventIntake intake(managed, Recording(calls), GetParam());
  intake.setRunning(true);
  managed.replace({100, 200});
  intake.onGroupMessage({1, 300, 5, "广告", 0});
  intake.onGroupMessage({2, 200, kAnonymousSender, "匿名", 0});
  intake.onJoinRequest({1, 0, 300, 6, "", "flag"});
  intake.onJoinRequest({1, 0, 100, 6, "", "flag"});
  // Joins and leaves are handled for every group.
  intake.onMemberDecrease(Change(300, 8));
  intake.waitIdle();
  auto lines = calls.get();
  std::sort(lines.begin(), lines.end());
  EXPECT_THAT(lines, ElementsAre("decrease:300:8", "group:200:80000000:匿名", "request:100:6"));
}

TEST_P(EventIntakeTest, RepeatedJoinOfTheSameMemberAndGroupIsSuppressed) {
  EventIntake intake(managed, Recording(calls), GetParam());
  intake.setRunning(true);
  // Both previous values start at 0: a first event of 0/0 counts as a repeat.
  intake.onMemberIncrease(Change(0, 0));
  intake.onMemberIncrease(Change(100, 7));
  intake.onMemberIncrease(Change(100, 7));  // repeat
  intake.onMemberIncrease(Change(200, 7));  // other group
  intake.onMemberIncrease(Change(100, 7));  // counts again
  intake.onMemberIncrease(Change(100, 8));
  intake.onMemberIncrease(Change(100, 8));  // repeat
  // Leaves are never suppressed.
  intake.onMemberDecrease(Change(100, 8));
  intake.onMemberDecrease(Change(100, 8));
  intake.waitIdle();
  auto lines = calls.get();
  std::vector<std::string> increases, decreases;
  for (const auto& l : lines) (l.starts_with("increase") ? increases : decreases).push_back(l);
  EXPECT_THAT(increases,
              ElementsAre("increase:100:7", "increase:200:7", "increase:100:7", "increase:100:8"));
  EXPECT_EQ(decreases.size(), 2u);
}

TEST_P(EventIntakeTest, ManagedGroupsAreReadWhenTheRecordIsHandled) {
  EventHandlers h = Recording(calls);
  // The first handled message changes the managed set before the second is
  // taken from the queue.
  auto inner = h.groupMessage;
  h.groupMessage = [&, inner](const GroupMessageRecord& r) {
    inner(r);
    managed.replace({200});
  };
  EventIntake intake(managed, std::move(h), GetParam());
  intake.setRunning(true);
  managed.replace({100});
  intake.onPrivateMessage({9, "x", 1, 0});
  intake.onGroupMessage({1, 100, 5, "a", 0});
  intake.onGroupMessage({2, 100, 5, "b", 0});
  intake.onGroupMessage({3, 200, 5, "c", 0});
  intake.waitIdle();
  auto lines = calls.get();
  std::erase_if(lines, [](const std::string& l) { return !l.starts_with("group"); });
  EXPECT_THAT(lines, ElementsAre("group:100:5:a", "group:200:5:c"));
}

TEST_P(EventIntakeTest, StopDropsLaterEvents) {
  EventIntake intake(managed, Recording(calls), GetParam());
  intake.setRunning(true);
  intake.onPrivateMessage({5, "a", 1, 0});
  intake.waitIdle();
  intake.stop();
  EXPECT_FALSE(intake.running());
  intake.setRunning(true);  // a stopped intake stays stopped
  intake.onPrivateMessage({5, "b", 2, 0});
  intake.waitIdle();
  EXPECT_THAT(calls.get(), ElementsAre("private:5:a"));
}

TEST_P(EventIntakeTest, MissingHandlersDropTheirKind) {
  EventHandlers h;
  h.privateMessage = [&](const PrivateMessageRecord& r) { calls.add("private:" + r.msg); };
  EventIntake intake(managed, std::move(h), GetParam());
  intake.setRunning(true);
  managed.replace({100});
  intake.onGroupMessage({1, 100, 5, "a", 0});
  intake.onJoinRequest({1, 0, 100, 6, "", ""});
  intake.onMemberIncrease(Change(100, 7));
  intake.onMemberDecrease(Change(100, 7));
  intake.onPrivateMessage({5, "b", 2, 0});
  intake.waitIdle();
  EXPECT_THAT(calls.get(), ElementsAre("private:b"));
}

INSTANTIATE_TEST_SUITE_P(Modes, EventIntakeTest,
                         ::testing::Values(QueueMode::kThreaded, QueueMode::kSynchronous),
                         [](const auto& info) {
                           return info.param == QueueMode::kThreaded ? "Threaded" : "Synchronous";
                         });

TEST(EventIntakeSyncTest, HandlerOutputIsCompleteWhenTheEntryPointReturns) {
  ManagedGroups managed;
  Calls calls;
  EventIntake intake(managed, Recording(calls), QueueMode::kSynchronous);
  intake.setRunning(true);
  intake.onPrivateMessage({5, "a", 1, 0});
  EXPECT_THAT(calls.get(), ElementsAre("private:5:a"));
  intake.onMemberIncrease(Change(100, 7));
  EXPECT_THAT(calls.get(), ElementsAre("private:5:a", "increase:100:7"));
}

// Holds every handler that passes it until opened.
class Barrier {
 public:
  void pass() {
    std::unique_lock lock(mu_);
    ++waiting_;
    cv_.notify_all();
    cv_.wait(lock, [&] { return open_; });
  }
  void waitFor(int handlers) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return waiting_ >= handlers; });
  }
  void open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int waiting_ = 0;
  bool open_ = false;
};

// The bytes of a queued record count from its arrival until its handler has
// returned, over every kind; the feeder that found the budget full is told
// once when there is room again.
TEST(EventBudgetTest, CountsRecordsUntilHandledAndCallsBackWhenThereIsRoom) {
  ManagedGroups managed;
  managed.replace({100});
  Barrier barrier;
  EventHandlers h;
  h.groupMessage = [&](const GroupMessageRecord&) { barrier.pass(); };
  h.memberIncrease = [&](const MemberChangeRecord&) {};
  EventBudget budget(3000);
  std::atomic<int> told{0};
  budget.setRoomListener([&] { ++told; });
  EventIntake intake(managed, std::move(h), QueueMode::kThreaded, &budget);
  intake.setRunning(true);
  const std::string text(1000, 'a');
  intake.onGroupMessage({1, 100, 5, text, 0});
  barrier.waitFor(1);  // the first one is being handled: it still counts
  EXPECT_TRUE(budget.hasRoom());
  intake.onGroupMessage({2, 100, 5, text, 0});
  intake.onGroupMessage({3, 100, 5, text, 0});
  intake.onMemberIncrease(Change(100, 7));
  EXPECT_GE(budget.used(), 3 * text.size());
  EXPECT_FALSE(budget.hasRoom());
  EXPECT_FALSE(budget.hasRoom());  // asked twice, told once
  EXPECT_EQ(told.load(), 0);
  barrier.open();
  intake.waitIdle();
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(told.load(), 1);
  EXPECT_TRUE(budget.hasRoom());
}

// A stop says what it leaves undone: the records still queued, per kind, are
// dropped and counted (their bytes go back), the ones being handled finish.
TEST(EventBudgetTest, CloseDropsTheQueuedRecordsAndSaysHowManyOfEachKind) {
  ManagedGroups managed;
  managed.replace({100});
  Barrier barrier;
  std::atomic<int> handled{0};
  EventHandlers h;
  h.groupMessage = [&](const GroupMessageRecord&) {
    barrier.pass();
    ++handled;
  };
  h.memberDecrease = [&](const MemberChangeRecord&) {
    barrier.pass();
    ++handled;
  };
  EventBudget budget;
  EventIntake intake(managed, std::move(h), QueueMode::kThreaded, &budget);
  intake.setRunning(true);
  for (int i = 1; i <= 4; ++i) intake.onGroupMessage({i, 100, 5, "msg", 0});
  intake.onMemberDecrease(Change(100, 7));
  intake.onMemberDecrease(Change(100, 8));
  barrier.waitFor(2);
  test::LogCapture log;
  EXPECT_EQ(intake.close(), 4u);
  EXPECT_EQ(log.matching({"stopping: 4 events received but not handled are dropped",
                          "group messages 3", "member decreases 1"})
                .size(),
            1u)
      << ::testing::PrintToString(log.lines());
  EXPECT_EQ(log.matching({"waiting for the 2 events being handled"}).size(), 1u);
  intake.onGroupMessage({9, 100, 5, "late", 0});  // refused: nothing more comes in
  barrier.open();
  intake.stop();
  EXPECT_EQ(handled.load(), 2);
  EXPECT_EQ(budget.used(), 0u);
  EXPECT_EQ(intake.close(), 0u);  // said once
}

TEST(ManagedGroupsTest, PositionIsOneBasedAndComparesAllBits) {
  ManagedGroups groups;
  EXPECT_EQ(groups.position(100), 0);
  groups.replace({100, 4294967396LL, 200, 100});
  EXPECT_EQ(groups.position(100), 1);  // first occurrence
  EXPECT_EQ(groups.position(4294967396LL), 2);
  EXPECT_EQ(groups.position(200), 3);
  // Same low 32 bits as the second entry, different number.
  EXPECT_EQ(groups.position(100 + (int64_t{2} << 32)), 0);
  EXPECT_FALSE(groups.contains(300));
  EXPECT_TRUE(groups.contains(200));
  EXPECT_EQ(groups.size(), 4u);
  groups.replace({});
  EXPECT_EQ(groups.position(100), 0);
  EXPECT_THAT(groups.snapshot(), IsEmpty());
}

}  // namespace
}  // namespace bw
