#include "membership/departures.h"

#include <string>
#include <utility>
#include <vector>

#include "events/delay.h"
#include "events/managed_groups.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/invite_stats.h"
#include "membership/member_limit.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "util/text.h"

namespace bw {
namespace {

std::string DeleteMemberRow(const std::string& member, const std::string& group) {
  return "delete from 群成员 where QQ号=" + SqlQuote(member) + " and 群号=" + SqlQuote(group);
}

}  // namespace

Departures::Departures(Robot& robot, InviteStats& invites, AccountLists& lists, MemberLimit& limit)
    : robot_(robot), invites_(invites), lists_(lists), limit_(limit) {}

void Departures::onMemberLeft(const MemberChangeRecord& record) {
  const int position = robot_.managedGroups.position(record.fromGroup);
  if (position == 0) return;
  const std::string group = std::to_string(record.fromGroup);
  const std::string member = std::to_string(record.beingOperateQQ);
  const Settings& s = robot_.settings;

  robot_.groupLog.WriteGroupLog(group, member, std::to_string(record.fromQQ), "退群");
  robot_.db.Execute(DeleteMemberRow(member, group));
  invites_.recordDeparture(member, group);

  if (record.subType == 2 && s.checked(opt::kBlacklistOnKick) && s.checked(opt::kAdDetectionOn)) {
    lists_.addToList(AccountList::kBlacklist, member);
    if (s.checked(opt::kBlacklistKickEverywhere)) kickEverywhere(record.beingOperateQQ, 0);
  }

  if (s.checked(opt::kMemberLimitOn)) limit_.enforceMemberLimit(position, false);
}

void Departures::kickMember(int64_t group, int64_t member, bool rejectRejoin) {
  {
    // Compare and remember in one step: two workers kicking the same pair at
    // once send one kick.
    std::lock_guard lock(kickMu_);
    const bool repeat = haveLastKick_ && lastKickGroup_ == group && lastKickMember_ == member;
    haveLastKick_ = true;
    lastKickGroup_ = group;
    lastKickMember_ = member;
    if (repeat) return;
  }
  const std::string groupText = std::to_string(group);
  const std::string memberText = std::to_string(member);
  robot_.host.CQ_setGroupKick(group, member, rejectRejoin);
  invites_.recordDeparture(memberText, groupText);
  robot_.db.Execute(DeleteMemberRow(memberText, groupText));
  robot_.groupLog.WriteGroupLog(groupText, memberText, std::to_string(robot_.host.CQ_getLoginQQ()),
                                "退群");
}

void Departures::kickEverywhere(int64_t member, int pauseMs) {
  // Read the whole sweep first: each kick deletes rows of the table being
  // read, and the connection must not be held through the pauses.
  const std::string memberText = std::to_string(member);
  std::vector<std::string> groups;
  {
    ScopedQuery q(robot_.db, "select 群号 from 群成员 where QQ号=" + SqlQuote(memberText));
    while (q.next()) {
      std::string group = q.text(0);
      if (group.empty()) break;
      groups.push_back(std::move(group));
    }
  }
  for (const std::string& group : groups) {
    if (robot_.stop.stop_requested()) return;
    kickMember(TextToInt(group), member, false);
    robot_.runLog.WriteRunLog("踢人", memberText + "踢出 群" + group);
    if (pauseMs > 0 && !delay(robot_.clock, pauseMs, 0, robot_.stop)) return;
  }
}

void Departures::kickInviters(int64_t member) {
  // Collected first: each kick rewrites 邀请记录 through recordDeparture.
  std::vector<std::pair<int64_t, int64_t>> kicks;  // group, inviter
  {
    ScopedQuery q(robot_.db, "select * from 邀请记录 where QQ号=" + SqlQuote(member));
    while (q.next()) {
      const std::string inviter = q.text("邀请人QQ");
      const int64_t inviterNumber = TextToInt(inviter);
      const int64_t group = TextToInt(q.text("群号"));
      // The inviter came from request text: only a real account is kicked.
      if (inviterNumber <= 0 || group <= 0) continue;
      kicks.emplace_back(group, inviterNumber);
    }
  }
  for (const auto& [group, inviter] : kicks) {
    if (robot_.stop.stop_requested()) return;
    kickMember(group, inviter, false);
    delay(robot_.clock, 1000, 0, robot_.stop);
  }
}

}  // namespace bw
