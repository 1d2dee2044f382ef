// InviteStats: who invited whom (邀请记录) and each inviter's counts (邀请统计),
// and the group commands "邀请查询", "邀请明细" and "清空统计".
//
// Thread-safety: all members may be called from any thread; each read-modify-
// write of an inviter's counts holds the database exclusively.
#pragma once

#include <cstdint>
#include <string>

namespace bw {

struct Robot;

class InviteStats {
 public:
  // Also writes the "操作" run-log entry when 选择框_开启邀请查询 is switched.
  explicit InviteStats(Robot& robot);
  ~InviteStats();
  InviteStats(const InviteStats&) = delete;
  InviteStats& operator=(const InviteStats&) = delete;

  // Returns the inviter's new 现存个数.
  int32_t recordInvitation(const std::string& inviter, const std::string& member,
                           const std::string& group);
  // Returns the inviter's new 现存个数, 0 when the member has no record there.
  int32_t recordDeparture(const std::string& member, const std::string& group);

  void replyInviteQuery(const std::string& asker, const std::string& group);
  void replyInvitedList(const std::string& inviter, const std::string& group);
  void clearInviteStats(const std::string& inviter, const std::string& group);
  // Fills the invite-statistics list view; an empty filter shows every inviter.
  void showInviteStats(const std::string& filter);

 private:
  Robot& robot_;
  int subscription_ = 0;
};

}  // namespace bw
