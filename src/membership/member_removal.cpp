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
    : host_(host), groupLog_(groupLog), identity_(identity), invites_(invites), members_(members) {}

bool MemberRemoval::kickMember(int64_t group, int64_t member, bool rejectRejoin) {
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
  host_.CQ_setGroupKick(group, member, rejectRejoin);
  invites_.recordDeparture(group, member);
  members_.remove(group, member);
  groupLog_.WriteGroupLog(std::to_string(group), std::to_string(member),
                          std::to_string(host_.CQ_getLoginQQ()), "退群");
  return true;
}

}  // namespace bw
