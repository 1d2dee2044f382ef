// JoinScreening: answers requests to join a managed group — refuse blacklisted
// accounts, optionally accounts already in a group or below a QQ level, approve
// the rest (crediting the inviter the host named), 1000 ms after each approval.
//
// The inviter is only ever the record's `inviter`: the request's text is the
// applicant's own words and is never read for numbers here (the legacy host's
// text is parsed where its event enters).
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <stop_token>

#include "events/records.h"

namespace bw {

class Clock;
class HostApi;
class Settings;
class QqServices;
class ManagedGroups;
class AccountLists;
class MemberTable;
class InviteStats;
class CaseRecorder;

class JoinScreening {
 public:
  JoinScreening(Clock& clock, HostApi& host, Settings& settings, QqServices& qq,
                ManagedGroups& managedGroups, std::stop_token stop, AccountLists& lists,
                MemberTable& members, InviteStats& invites, CaseRecorder& cases);

  void screenJoinRequest(const JoinRequestRecord& record);

 private:
  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  QqServices& qq_;
  ManagedGroups& managedGroups_;
  std::stop_token stop_;
  AccountLists& lists_;
  MemberTable& members_;
  InviteStats& invites_;
  CaseRecorder& cases_;
};

}  // namespace bw
