// InviteStats: who invited whom (邀请记录) and each inviter's counts (邀请统计),
// and the group commands "邀请查询", "邀请明细" and "清空统计". The tables belong
// to InviteTable, which runs each change of the counts in one transaction.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class RunLog;
class QqServices;
class InviteTable;

class InviteStats {
 public:
  // Also writes the "操作" run-log entry when 选择框_开启邀请查询 is switched.
  InviteStats(Clock& clock, HostApi& host, Settings& settings, ListViews& views, RunLog& runLog,
              QqServices& qq, InviteTable& table);
  ~InviteStats();
  InviteStats(const InviteStats&) = delete;
  InviteStats& operator=(const InviteStats&) = delete;

  // The inviter's new 现存个数; nothing when it could not be recorded.
  std::optional<int32_t> recordInvitation(int64_t group, int64_t member, int64_t inviter);
  // The inviter's new 现存个数, 0 when the member has no record there; nothing
  // when it could not be recorded.
  std::optional<int32_t> recordDeparture(int64_t group, int64_t member);

  void replyInviteQuery(int64_t group, int64_t asker);
  void replyInvitedList(int64_t group, int64_t inviter);
  void clearInviteStats(int64_t group, int64_t inviter);

  // Fills the invite-statistics list view; an empty filter shows every inviter,
  // a filter that is no account number nobody.
  void showInviteStats(const std::string& filter);

 private:
  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  ListViews& views_;
  RunLog& runLog_;
  QqServices& qq_;
  InviteTable& table_;
  int subscription_ = 0;
};

}  // namespace bw
