// Departures: members leaving or removed. onMemberLeft handles the host's
// member-decrease events; kickMember is the robot's own removal of a member
// with all bookkeeping (MemberRemoval); kickEverywhere and kickInviters sweep
// through it.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>

#include "events/records.h"
#include "membership/case_recorder.h"

namespace bw {

class Clock;
class Settings;
class RunLog;
class GroupLog;
class ManagedGroups;
class MemberTable;
class InviteTable;
class InviteStats;
class AccountLists;
class MemberLimit;
class MemberRemoval;

class Departures {
 public:
  Departures(Clock& clock, Settings& settings, RunLog& runLog, GroupLog& groupLog,
             ManagedGroups& managedGroups, std::stop_token stop, MemberTable& members,
             InviteTable& inviteTable, InviteStats& invites, AccountLists& lists,
             MemberLimit& limit, MemberRemoval& removal, CaseRecorder& cases);

  void onMemberLeft(const MemberChangeRecord& record);
  // Skips a kick identical to the previous call's (group, member), and never
  // kicks the robot itself or account 0. `afterKick` runs once the host did
  // the kick (see MemberRemoval), never for a refused or expired one.
  void kickMember(int64_t group, int64_t member, bool rejectRejoin,
                  std::function<void()> afterKick = {});
  // Kicks `member` from every group where 群成员 lists them, in the table's
  // order, each through kickMember with a run-log entry "踢人" once the kick
  // was done; `pauseMs`
  // between kicks (a departure sweeps at once, a penalty paces its kicks).
  // Ends early when the robot stops. Each kick done is a case carrying `why`.
  void kickEverywhere(int64_t member, int pauseMs, const CaseContext& why = {});
  // Every recorded inviter of `member` is kicked from the group of that
  // invitation, 1000 ms apart; each kick done is a case carrying `why`.
  void kickInviters(int64_t member, const CaseContext& why = {});

 private:
  Clock& clock_;
  Settings& settings_;
  RunLog& runLog_;
  GroupLog& groupLog_;
  ManagedGroups& managedGroups_;
  std::stop_token stop_;
  MemberTable& members_;
  InviteTable& inviteTable_;
  InviteStats& invites_;
  AccountLists& lists_;
  MemberLimit& limit_;
  MemberRemoval& removal_;
  CaseRecorder& cases_;
};

}  // namespace bw
