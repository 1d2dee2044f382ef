#include "membership/departures.h"

#include <string>
#include <utility>
#include <vector>

#include "events/delay.h"
#include "events/managed_groups.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/invite_stats.h"
#include "membership/member_limit.h"
#include "membership/member_removal.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/invite_table.h"
#include "storage/member_table.h"

namespace bw {

Departures::Departures(Clock& clock, Settings& settings, RunLog& runLog, GroupLog& groupLog,
                       ManagedGroups& managedGroups, std::stop_token stop, MemberTable& members,
                       InviteTable& inviteTable, InviteStats& invites, AccountLists& lists,
                       MemberLimit& limit, MemberRemoval& removal, CaseRecorder& cases)
    : clock_(clock),
      settings_(settings),
      runLog_(runLog),
      groupLog_(groupLog),
      managedGroups_(managedGroups),
      stop_(std::move(stop)),
      members_(members),
      inviteTable_(inviteTable),
      invites_(invites),
      lists_(lists),
      limit_(limit),
      removal_(removal),
      cases_(cases) {}

void Departures::onMemberLeft(const MemberChangeRecord& record) {
  const int position = managedGroups_.position(record.fromGroup);
  if (position == 0) return;
  const int64_t group = record.fromGroup;
  const int64_t member = record.beingOperateQQ;
  const Settings& s = settings_;

  groupLog_.WriteGroupLog(std::to_string(group), std::to_string(member),
                          std::to_string(record.fromQQ), "退群");
  members_.remove(group, member);
  invites_.recordDeparture(group, member);

  if (record.subType == 2 && s.checked(opt::kBlacklistOnKick) && s.checked(opt::kAdDetectionOn)) {
    // Someone else kicked the member; the robot's own act is the blacklisting.
    CaseContext why{CaseRecorder::RuleLabel(opt::kBlacklistOnKick),
                    "被 " + std::to_string(record.fromQQ) + " 踢出后拉黑", "", 0};
    if (lists_.addToList(AccountList::kBlacklist, member))
      cases_.record(kCaseBlacklist, group, member, why);
    if (s.checked(opt::kBlacklistKickEverywhere)) {
      why.rule = CaseRecorder::RuleLabel(opt::kBlacklistKickEverywhere);
      why.reason = "已拉黑，所有群踢出";
      kickEverywhere(member, 0, why);
    }
  }

  if (s.checked(opt::kMemberLimitOn)) limit_.enforceMemberLimit(position, false);
}

void Departures::kickMember(int64_t group, int64_t member, bool rejectRejoin,
                            std::function<void()> afterKick) {
  removal_.kickMember(group, member, rejectRejoin, std::move(afterKick));
}

void Departures::kickEverywhere(int64_t member, int pauseMs, const CaseContext& why) {
  // Read the whole sweep first: each kick deletes rows of the table being
  // read, and the connection must not be held through the pauses.
  const std::string memberText = std::to_string(member);
  for (const int64_t group : members_.groupsOf(member)) {
    if (stop_.stop_requested()) return;
    // The run log outlives the rules, whose removal drops later outcomes.
    kickMember(group, member, false,
               [&runLog = runLog_, &cases = cases_,
                text = memberText + "踢出 群" + std::to_string(group), group, member, why] {
                 runLog.WriteRunLog("踢人", text);
                 cases.record(kCaseKick, group, member, why);
               });
    if (pauseMs > 0 && !delay(clock_, pauseMs, 0, stop_)) return;
  }
}

void Departures::kickInviters(int64_t member, const CaseContext& why) {
  // Collected first: each kick rewrites 邀请记录 through the departure charge.
  for (const Invitation& invitation : inviteTable_.invitationsOf(member)) {
    if (stop_.stop_requested()) return;
    kickMember(invitation.group, invitation.inviter, false,
               [&cases = cases_, group = invitation.group, inviter = invitation.inviter, why] {
                 cases.record(kCaseKick, group, inviter, why);
               });
    delay(clock_, 1000, 0, stop_);
  }
}

}  // namespace bw
