// MemberRemoval: the one way the robot itself removes a member from a group,
// with all bookkeeping — the host's kick, the inviter charged for the
// departure, the member's 群成员 row, and the group log line "退群" naming the
// robot as operator. Departures, penalties and member-count control all remove
// through it.
//
// A kick identical to the previous one (same group and member) is skipped:
// hosts and rules repeat themselves, and a second kick would charge the
// inviter twice. The robot's own account and account 0 are never kicked.
//
// Thread-safety: all members may be called from any thread; the remembered
// pair is compared and replaced in one step.
#pragma once

#include <cstdint>
#include <mutex>

namespace bw {

class HostApi;
class GroupLog;
class Identity;
class InviteStats;
class MemberTable;

class MemberRemoval {
 public:
  MemberRemoval(HostApi& host, GroupLog& groupLog, const Identity& identity, InviteStats& invites,
                MemberTable& members);

  // True when the member was removed now; false when the kick repeated the
  // previous one or the member may not be kicked.
  bool kickMember(int64_t group, int64_t member, bool rejectRejoin);

 private:
  HostApi& host_;
  GroupLog& groupLog_;
  const Identity& identity_;
  InviteStats& invites_;
  MemberTable& members_;
  std::mutex mu_;
  bool haveLast_ = false;
  int64_t lastGroup_ = 0;
  int64_t lastMember_ = 0;
};

}  // namespace bw
