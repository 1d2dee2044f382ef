#include "events/event_intake.h"

#include <utility>

namespace bw {
namespace {

// Wraps a handler so that an unset one drops records.
template <typename Record>
typename EventQueue<Record>::Handler OrDrop(std::function<void(const Record&)> handler) {
  if (handler) return handler;
  return [](const Record&) {};
}

}  // namespace

EventIntake::EventIntake(const ManagedGroups& managed, EventHandlers handlers, QueueMode mode)
    : managed_(managed), handlers_(std::move(handlers)) {
  // The managed-group check belongs to the worker: the list may change between
  // arrival and handling, and the host thread must not wait on its lock.
  groupMessages_ = std::make_unique<EventQueue<GroupMessageRecord>>(
      "group message",
      [this](const GroupMessageRecord& r) {
        if (handlers_.groupMessage && managed_.contains(r.fromGroup)) handlers_.groupMessage(r);
      },
      mode);
  joinRequests_ = std::make_unique<EventQueue<JoinRequestRecord>>(
      "join request",
      [this](const JoinRequestRecord& r) {
        if (handlers_.joinRequest && managed_.contains(r.fromGroup)) handlers_.joinRequest(r);
      },
      mode);
  memberIncreases_ = std::make_unique<EventQueue<MemberChangeRecord>>(
      "member increase", OrDrop(handlers_.memberIncrease), mode);
  memberDecreases_ = std::make_unique<EventQueue<MemberChangeRecord>>(
      "member decrease", OrDrop(handlers_.memberDecrease), mode);
  privateMessages_ = std::make_unique<EventQueue<PrivateMessageRecord>>(
      "private message", OrDrop(handlers_.privateMessage), mode);
}

EventIntake::~EventIntake() { stop(); }

void EventIntake::onGroupMessage(GroupMessageRecord record) {
  if (!running()) return;
  groupMessages_->enqueue(std::move(record));
}

void EventIntake::onJoinRequest(JoinRequestRecord record) {
  if (!running()) return;
  joinRequests_->enqueue(std::move(record));
}

void EventIntake::onMemberIncrease(MemberChangeRecord record) {
  if (!running()) return;
  {
    // Hosts report some joins twice in a row; only the first one counts. The
    // pair becomes the previous one whether or not it was a repeat.
    std::lock_guard lock(increaseMu_);
    const bool repeat = record.beingOperateQQ == previousIncreaseMember_ &&
                        record.fromGroup == previousIncreaseGroup_;
    previousIncreaseMember_ = record.beingOperateQQ;
    previousIncreaseGroup_ = record.fromGroup;
    if (repeat) return;
  }
  memberIncreases_->enqueue(std::move(record));
}

void EventIntake::onMemberDecrease(MemberChangeRecord record) {
  if (!running()) return;
  memberDecreases_->enqueue(std::move(record));
}

void EventIntake::onPrivateMessage(PrivateMessageRecord record) {
  if (!running()) return;
  privateMessages_->enqueue(std::move(record));
}

void EventIntake::waitIdle() {
  // A handler of one kind may queue a record of another kind; repeat until one
  // pass finds every queue idle.
  for (;;) {
    groupMessages_->waitIdle();
    joinRequests_->waitIdle();
    memberIncreases_->waitIdle();
    memberDecreases_->waitIdle();
    privateMessages_->waitIdle();
    const bool idle = !groupMessages_->workerRunning() && groupMessages_->pending() == 0 &&
                      !joinRequests_->workerRunning() && joinRequests_->pending() == 0 &&
                      !memberIncreases_->workerRunning() && memberIncreases_->pending() == 0 &&
                      !memberDecreases_->workerRunning() && memberDecreases_->pending() == 0 &&
                      !privateMessages_->workerRunning() && privateMessages_->pending() == 0;
    if (idle) return;
  }
}

void EventIntake::stop() {
  running_.store(false);
  groupMessages_->stop();
  joinRequests_->stop();
  memberIncreases_->stop();
  memberDecreases_->stop();
  privateMessages_->stop();
}

uint64_t EventIntake::workersStarted() const {
  return groupMessages_->workersStarted() + joinRequests_->workersStarted() +
         memberIncreases_->workersStarted() + memberDecreases_->workersStarted() +
         privateMessages_->workersStarted();
}

}  // namespace bw
