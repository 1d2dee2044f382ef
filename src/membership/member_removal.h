// MemberRemoval: the one way the robot itself removes a member from a group,
// with all bookkeeping — the host's kick, the inviter charged for the
// departure, the member's 群成员 row, and the group log line "退群" naming the
// robot as operator. Departures, penalties and member-count control all remove
// through it.
//
// The bookkeeping claims the member is gone, so it is written only once the
// host says the kick was done; a refused or expired kick leaves no trace but
// the host's failure report, and a later kick of the same pair is tried again.
// With the OneBot host the outcome comes on the connection's thread, after
// kickMember returned.
//
// A kick identical to the previous one (same group and member) is skipped:
// hosts and rules repeat themselves, and a second kick would charge the
// inviter twice. The robot's own account and account 0 are never kicked.
//
// Thread-safety: all members may be called from any thread; the remembered
// pair is compared and replaced in one step.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace bw {

class HostApi;
class OutcomeGate;
class GroupLog;
class Identity;
class InviteStats;
class MemberTable;

class MemberRemoval {
 public:
  MemberRemoval(HostApi& host, GroupLog& groupLog, const Identity& identity, InviteStats& invites,
                MemberTable& members);
  ~MemberRemoval();  // later outcomes are dropped
  MemberRemoval(const MemberRemoval&) = delete;
  MemberRemoval& operator=(const MemberRemoval&) = delete;

  // True when the kick was sent now; false when it repeated the previous one
  // or the member may not be kicked. `afterKick` runs after the bookkeeping,
  // only when the kick was done (for the caller's own record of it).
  bool kickMember(int64_t group, int64_t member, bool rejectRejoin,
                  std::function<void()> afterKick = {});
  // The member joined the group again: a kick of them now is a new one.
  void rejoined(int64_t group, int64_t member);

 private:
  void settle(int64_t group, int64_t member, bool done, const std::function<void()>& afterKick);

  HostApi& host_;
  GroupLog& groupLog_;
  const Identity& identity_;
  InviteStats& invites_;
  MemberTable& members_;
  std::shared_ptr<OutcomeGate> gate_;
  std::mutex mu_;
  bool haveLast_ = false;
  int64_t lastGroup_ = 0;
  int64_t lastMember_ = 0;
};

}  // namespace bw
