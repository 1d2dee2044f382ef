#include "membership/member_removal.h"

#include <string>

#include "host/host_api.h"
#include "host/identity.h"
#include "logs/group_log.h"
#include "membership/invite_stats.h"
#include "storage/member_table.h"
#include "util/log.h"

namespace bw {

MemberRemoval::MemberRemoval(HostApi& host, GroupLog& groupLog, const Identity& identity,
                             InviteStats& invites, MemberTable& members)
    : host_(host),
      groupLog_(groupLog),
      identity_(identity),
      invites_(invites),
      members_(members),
      gate_(std::make_shared<OutcomeGate>()) {}

MemberRemoval::~MemberRemoval() { gate_->close(); }

bool MemberRemoval::kickMember(int64_t group, int64_t member, bool rejectRejoin,
                               std::function<void()> afterKick) {
  if (identity_.isUntouchable(member)) {
    LogWarning("kick refused: account " + std::to_string(member) + " of group " +
               std::to_string(group) + " is the robot itself or no account");
    return false;
  }
  {
    // Compare and remember in one step: two workers kicking the same pair at
    // once send one kick.
    std::lock_guard lock(mu_);
    const bool repeat = haveLast_ && lastGroup_ == group && lastMember_ == member;
    haveLast_ = true;
    lastGroup_ = group;
    lastMember_ = member;
    if (repeat) return false;
  }
  host_.setGroupKickThen(
      group, member, rejectRejoin,
      [this, gate = gate_, group, member, afterKick = std::move(afterKick)](bool done) {
        gate->run([&] { settle(group, member, done, afterKick); });
      });
  return true;
}

void MemberRemoval::rejoined(int64_t group, int64_t member) {
  std::lock_guard lock(mu_);
  if (haveLast_ && lastGroup_ == group && lastMember_ == member) haveLast_ = false;
}

void MemberRemoval::settle(int64_t group, int64_t member, bool done,
                           const std::function<void()>& afterKick) {
  if (!done) {
    // The member is still there: a later kick of the same pair is no repeat.
    std::lock_guard lock(mu_);
    if (haveLast_ && lastGroup_ == group && lastMember_ == member) haveLast_ = false;
    return;
  }
  invites_.recordDeparture(group, member);
  members_.remove(group, member);
  // The operator is the robot, known since the start: asking the host would
  // wait for an answer on every kick (and, on the connection's thread, for
  // an answer that thread itself would have to read).
  groupLog_.WriteGroupLog(std::to_string(group), std::to_string(member), identity_.loginAccount(),
                          "退群");
  if (afterKick) afterKick();
}

}  // namespace bw
