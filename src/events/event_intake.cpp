#include "events/event_intake.h"

#include <string>
#include <utility>

#include "util/log.h"

namespace bw {
namespace {

// Wraps a handler so that an unset one drops records.
template <typename Record>
typename EventQueue<Record>::Handler OrDrop(std::function<void(const Record&)> handler) {
  if (handler) return handler;
  return [](const Record&) {};
}

template <typename Record>
size_t Bytes(const Record& r) {
  return RecordBytes(r);
}

}  // namespace

EventIntake::EventIntake(const ManagedGroups& managed, EventHandlers handlers, QueueMode mode,
                         EventBudget* budget)
    : managed_(managed), handlers_(std::move(handlers)) {
  // The managed-group check belongs to the worker: the list may change between
  // arrival and handling, and the host thread must not wait on its lock.
  groupMessages_ = std::make_unique<EventQueue<GroupMessageRecord>>(
      "group message",
      [this](const GroupMessageRecord& r) {
        if (handlers_.groupMessage && managed_.contains(r.fromGroup)) handlers_.groupMessage(r);
      },
      mode, budget, Bytes<GroupMessageRecord>);
  joinRequests_ = std::make_unique<EventQueue<JoinRequestRecord>>(
      "join request",
      [this](const JoinRequestRecord& r) {
        if (handlers_.joinRequest && managed_.contains(r.fromGroup)) handlers_.joinRequest(r);
      },
      mode, budget, Bytes<JoinRequestRecord>);
  memberIncreases_ = std::make_unique<EventQueue<MemberChangeRecord>>(
      "member increase", OrDrop(handlers_.memberIncrease), mode, budget, Bytes<MemberChangeRecord>);
  memberDecreases_ = std::make_unique<EventQueue<MemberChangeRecord>>(
      "member decrease", OrDrop(handlers_.memberDecrease), mode, budget, Bytes<MemberChangeRecord>);
  privateMessages_ = std::make_unique<EventQueue<PrivateMessageRecord>>(
      "private message", OrDrop(handlers_.privateMessage), mode, budget,
      Bytes<PrivateMessageRecord>);
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
  {
    // A member who left and joins again is a new join, not a repeated report.
    std::lock_guard lock(increaseMu_);
    if (record.beingOperateQQ == previousIncreaseMember_ &&
        record.fromGroup == previousIncreaseGroup_) {
      previousIncreaseMember_ = 0;
      previousIncreaseGroup_ = 0;
    }
  }
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

size_t EventIntake::close() {
  running_.store(false);
  struct Kind {
    const char* name;
    size_t discarded;
    bool handling;
  };
  auto left = [](const char* name, auto& queue) {
    const auto l = queue->close();
    return Kind{name, l.discarded, l.handling};
  };
  const Kind kinds[] = {
      left("group messages", groupMessages_), left("join requests", joinRequests_),
      left("member increases", memberIncreases_), left("member decreases", memberDecreases_),
      left("private messages", privateMessages_)};
  size_t discarded = 0, handling = 0;
  std::string detail;
  for (const Kind& k : kinds) {
    discarded += k.discarded;
    handling += k.handling ? 1 : 0;
    if (k.discarded == 0) continue;
    detail +=
        (detail.empty() ? "" : ", ") + std::string(k.name) + " " + std::to_string(k.discarded);
  }
  if (discarded > 0)
    LogWarning("stopping: " + std::to_string(discarded) +
               " events received but not handled are dropped (" + detail + ")");
  if (handling > 0)
    LogInfo("stopping: waiting for the " + std::to_string(handling) +
            " events being handled to finish");
  return discarded;
}

void EventIntake::stop() {
  close();
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
