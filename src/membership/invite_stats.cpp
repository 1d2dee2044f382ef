#include "membership/invite_stats.h"

#include <vector>

#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/message_variables.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/invite_table.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/text.h"
#include "web/qq_services.h"

namespace bw {

InviteStats::InviteStats(Clock& clock, HostApi& host, Settings& settings, ListViews& views,
                         RunLog& runLog, QqServices& qq, InviteTable& table)
    : clock_(clock),
      host_(host),
      settings_(settings),
      views_(views),
      runLog_(runLog),
      qq_(qq),
      table_(table) {
  subscription_ = settings_.subscribe([this](const std::string& name) {
    if (name != opt::kInviteQueryOn || settings_.restoring()) return;
    runLog_.WriteRunLog("操作",
                        settings_.checked(opt::kInviteQueryOn) ? "开启邀请查询" : "关闭邀请查询");
  });
}

InviteStats::~InviteStats() { settings_.unsubscribe(subscription_); }

std::optional<int32_t> InviteStats::recordInvitation(int64_t group, int64_t member,
                                                     int64_t inviter) {
  // The nickname is a web request: it is fetched without holding the database,
  // only for a first invitation, and the counts are then read again.
  std::optional<std::string> nickname;
  for (;;) {
    const InviteTable::Credit credit =
        table_.credit(group, member, inviter, nickname ? &*nickname : nullptr);
    switch (credit.outcome) {
      case InviteTable::Credit::Outcome::kDone:
        return credit.present;
      case InviteTable::Credit::Outcome::kFailed:
        return std::nullopt;
      case InviteTable::Credit::Outcome::kNeedsNickname:
        nickname = qq_.fetchNickname(std::to_string(inviter));
        break;
    }
  }
}

std::optional<int32_t> InviteStats::recordDeparture(int64_t group, int64_t member) {
  return table_.chargeDeparture(group, member);
}

void InviteStats::replyInviteQuery(int64_t group, int64_t asker) {
  const InviteCounts c = table_.counts(asker);
  std::string text =
      FillMessageVariables(settings_.text(opt::kInviteQueryReply), asker, clock_.now());
  text = ReplaceAll(text, "[现存邀请人数]", std::to_string(c.present));
  text = ReplaceAll(text, "[总邀请人数]", std::to_string(c.invited));
  text = ReplaceAll(text, "[退出邀请人数]", std::to_string(c.left));
  host_.CQ_sendGroupMsg(group, text);
}

void InviteStats::replyInvitedList(int64_t group, int64_t inviter) {
  std::string list;
  for (const std::string& account : table_.invitedBy(inviter)) list += account + "\r\n";
  host_.CQ_sendGroupMsg(group, cq::At(inviter) + "邀请的QQ有\r\n" + list);
}

void InviteStats::clearInviteStats(int64_t group, int64_t inviter) {
  if (!table_.clear(inviter)) return;  // no confirmation of what did not happen
  host_.CQ_sendGroupMsg(group, cq::At(inviter) + "邀请记录已清空!");
}

void InviteStats::showInviteStats(const std::string& filter) {
  std::vector<ListRow> rows;
  if (filter.empty() || IsAccountNumber(filter)) {
    const auto stats =
        table_.statsRows(filter.empty() ? std::nullopt : std::optional<int64_t>(TextToInt(filter)));
    for (const InviteStatsRow& s : stats) {
      ListRow row;
      row.cells = {std::to_string(rows.size() + 1),
                   s.account,
                   s.nickname,
                   std::to_string(s.counts.present),
                   std::to_string(s.counts.invited),
                   std::to_string(s.counts.left)};
      rows.push_back(std::move(row));
    }
  } else {
    LogWarning("invite statistics: filter \"" + filter + "\" is no account number");
  }
  views_.inviteStats.replaceAll(std::move(rows));
}

}  // namespace bw
