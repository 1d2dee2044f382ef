// Arrivals: a member joined a managed group — record, log, mute, group card,
// welcome, invite credit and member-count control, in that order.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "events/records.h"
#include "host/host_api.h"

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class RunLog;
class GroupLog;
class QqServices;
class ManagedGroups;
class MemberTable;
class InviteStats;
class MemberLimit;
class CaseRecorder;

// The card a newcomer gets from the card options (nickname cut to 2×N GBK
// bytes without splitting a character, prefix, suffix).
std::string BuildNewcomerCard(const Settings& settings, const std::string& nickname);

class Arrivals {
 public:
  // Also writes the "操作" run-log entry when 选择框_开启进群欢迎 is switched.
  Arrivals(Clock& clock, HostApi& host, Settings& settings, ListViews& views, RunLog& runLog,
           GroupLog& groupLog, QqServices& qq, ManagedGroups& managedGroups, MemberTable& members,
           InviteStats& invites, MemberLimit& limit, CaseRecorder& cases);
  ~Arrivals();
  Arrivals(const Arrivals&) = delete;
  Arrivals& operator=(const Arrivals&) = delete;

  void onMemberJoined(const MemberChangeRecord& record);
  void sendWelcome(int64_t group, int64_t member);
  std::string buildCard(const std::string& nickname) const;

 private:
  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  ListViews& views_;
  RunLog& runLog_;
  GroupLog& groupLog_;
  QqServices& qq_;
  ManagedGroups& managedGroups_;
  MemberTable& members_;
  InviteStats& invites_;
  MemberLimit& limit_;
  CaseRecorder& cases_;
  // Drops a join mute's outcome that comes after these rules are gone.
  std::shared_ptr<OutcomeGate> gate_ = std::make_shared<OutcomeGate>();
  int subscription_ = 0;
};

}  // namespace bw
