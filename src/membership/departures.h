// Departures: members leaving or removed. onMemberLeft handles the host's
// member-decrease events; kickMember is the one operation through which the
// robot itself removes a member with all bookkeeping; kickInviters removes the
// inviters of an offender.
//
// Thread-safety: all members may be called from any thread; kickMember's
// remembered pair is guarded.
#pragma once

#include <cstdint>
#include <mutex>

#include "events/records.h"

namespace bw {

struct Robot;
class InviteStats;
class AccountLists;
class MemberLimit;

class Departures {
 public:
  Departures(Robot& robot, InviteStats& invites, AccountLists& lists, MemberLimit& limit);

  void onMemberLeft(const MemberChangeRecord& record);
  // Skips a kick identical to the previous call's (group, member).
  void kickMember(int64_t group, int64_t member, bool rejectRejoin);
  // Kicks `member` from every group where 群成员 lists them, in the table's
  // order, each through kickMember with a run-log entry "踢人"; `pauseMs`
  // between kicks (a departure sweeps at once, a penalty paces its kicks).
  // Ends early when the robot stops.
  void kickEverywhere(int64_t member, int pauseMs);
  // Every recorded inviter of `member` is kicked from the group of that
  // invitation, 1000 ms apart.
  void kickInviters(int64_t member);

 private:
  Robot& robot_;
  InviteStats& invites_;
  AccountLists& lists_;
  MemberLimit& limit_;
  std::mutex kickMu_;
  bool haveLastKick_ = false;
  int64_t lastKickGroup_ = 0;
  int64_t lastKickMember_ = 0;
};

}  // namespace bw
