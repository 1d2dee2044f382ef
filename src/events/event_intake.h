// EventIntake: the five event queues and what happens between a host's event
// and a handler: the running-flag check, the member-increase duplicate
// suppression, and the ManagedGroups filter for group messages and join
// requests (applied by the worker, just before handling).
//
// With a budget, every record counts its bytes against it from its arrival
// until its handler returns (EventBudget), over all five queues together.
//
// Thread-safety: the on* entry points may be called from any host thread; they
// never block on a handler.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "events/event_queue.h"
#include "events/managed_groups.h"
#include "events/records.h"

namespace bw {

struct EventHandlers {
  std::function<void(const GroupMessageRecord&)> groupMessage;  // managed groups only
  std::function<void(const JoinRequestRecord&)> joinRequest;    // managed groups only
  std::function<void(const MemberChangeRecord&)> memberIncrease;
  std::function<void(const MemberChangeRecord&)> memberDecrease;
  std::function<void(const PrivateMessageRecord&)> privateMessage;
};

class EventIntake {
 public:
  EventIntake(const ManagedGroups& managed, EventHandlers handlers,
              QueueMode mode = QueueMode::kThreaded, EventBudget* budget = nullptr);
  ~EventIntake();

  // The running flag: while clear, events are dropped. Set once at startup.
  void setRunning(bool running) { running_.store(running); }
  bool running() const { return running_.load(); }

  // Each returns at once after the copy and append.
  void onGroupMessage(GroupMessageRecord record);
  void onJoinRequest(JoinRequestRecord record);
  void onMemberIncrease(MemberChangeRecord record);
  void onMemberDecrease(MemberChangeRecord record);
  void onPrivateMessage(PrivateMessageRecord record);

  // Waits until every queue is empty and idle.
  void waitIdle();
  // Refuses later events and discards the queued ones without waiting for the
  // handlers still running; logs what was left undone, per kind. Returns the
  // number of records discarded.
  size_t close();
  // close(), then waits for the running handlers (clean shutdown).
  void stop();

  // Introspection for tests and status output.
  uint64_t workersStarted() const;  // over all five queues

 private:
  const ManagedGroups& managed_;
  EventHandlers handlers_;
  std::atomic<bool> running_{false};
  std::mutex increaseMu_;
  int64_t previousIncreaseGroup_ = 0;
  int64_t previousIncreaseMember_ = 0;
  std::unique_ptr<EventQueue<GroupMessageRecord>> groupMessages_;
  std::unique_ptr<EventQueue<JoinRequestRecord>> joinRequests_;
  std::unique_ptr<EventQueue<MemberChangeRecord>> memberIncreases_;
  std::unique_ptr<EventQueue<MemberChangeRecord>> memberDecreases_;
  std::unique_ptr<EventQueue<PrivateMessageRecord>> privateMessages_;
};

}  // namespace bw
