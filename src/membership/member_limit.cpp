#include "membership/member_limit.h"

#include <vector>

#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "logs/group_log.h"
#include "membership/invite_stats.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"
#include "settings/option_names.h"

namespace bw {
namespace {


}  // namespace

MemberLimit::MemberLimit(Robot& robot, InviteStats& invites) : robot_(robot), invites_(invites) {
  subscription_ = robot_.settings.subscribe([this](const std::string& name) {
    if (name == opt::kMemberLimitOn && robot_.settings.checked(opt::kMemberLimitOn)) recountMembers();
  });
}

MemberLimit::~MemberLimit() { robot_.settings.unsubscribe(subscription_); }

void MemberLimit::enforceMemberLimit(int position, bool joined) {
  std::lock_guard lock(mu_);
  ListModel& limits = robot_.lists.limits;
  if (position < 1 || static_cast<size_t>(position) > limits.rowCount()) {
    LogWarning("member limit: no limit-list row for managed group " + std::to_string(position));
    return;
  }
  const size_t row = static_cast<size_t>(position - 1);
  const std::string group = limits.cell(row, limitcol::kGroup);
  int64_t count = TextToInt(limits.cell(row, limitcol::kCurrent));
  bool kicked = false;
  if (!joined) {
    --count;
  } else {
    ++count;
    if (count > TextToInt(limits.cell(row, limitcol::kLimit))) {
      const std::string victim = chooseVictim(group);
      if (!victim.empty()) {
        removeVictim(group, victim);
        --count;
        kicked = true;
      }
    }
  }
  // The list may have been rebuilt meanwhile; only write back into the row of
  // the same group.
  limits.update([&](std::vector<ListRow>& rows) {
    if (row >= rows.size() || rows[row].cells.size() <= limitcol::kKicked ||
        rows[row].cells[limitcol::kGroup] != group) {
      return;
    }
    auto& cells = rows[row].cells;
    cells[limitcol::kCurrent] = std::to_string(count);
    if (kicked) cells[limitcol::kKicked] = std::to_string(TextToInt(cells[limitcol::kKicked]) + 1);
  });
}

std::string MemberLimit::chooseVictim(const std::string& group) {
  const Settings& s = robot_.settings;
  const bool latest = s.checked(opt::kLimitKickLatestJoined);
  const std::string login = robot_.loginAccount();
  auto firstCandidate = [&](const std::string& sql) -> std::string {
    std::vector<std::string> accounts;
    {
      ScopedQuery q(robot_.db, sql);
      while (q.next()) accounts.push_back(q.text(0));
    }
    for (const std::string& qq : accounts) {
      if (qq.empty() || qq == login) continue;
      // A kick of the owner or an administrator always fails; choosing one
      // would drop a present member's row and count a removal that never was.
      const std::string staff = "select count(1) from 群成员 where QQ号 =" + SqlQuote(qq) +
                                " and 群号=" + SqlQuote(group) + " and (权限='3' or 权限='2')";
      ScopedQuery q(robot_.db, staff);
      if (q.next() && q.integer(0) > 0) continue;
      return qq;
    }
    return {};
  };

  std::string victim;
  if (s.checked(opt::kLimitPreferNeverSpoke)) {
    if (s.checked(opt::kLimitKickEarliestJoined) || s.checked(opt::kLimitKickLongestSilent)) {
      victim =
          firstCandidate("select QQ号 from 群成员 where 最后发言=0 and 群号=" + SqlQuote(group) +
                         " ORDER BY 加群时间 asc");
    } else if (latest) {
      victim =
          firstCandidate("select QQ号 from 群成员 where 最后发言=0 and 群号=" + SqlQuote(group) +
                         " ORDER BY 加群时间 DESC");
    }
  }
  if (victim.empty()) {
    if (s.checked(opt::kLimitKickEarliestJoined)) {
      victim = firstCandidate("select QQ号 from 群成员 where 群号=" + SqlQuote(group) +
                              " ORDER BY 加群时间 asc");
    } else if (latest) {
      victim = firstCandidate("select QQ号 from 群成员 where 群号=" + SqlQuote(group) +
                              " ORDER BY 加群时间 DESC");
    } else {
      victim = firstCandidate("select QQ号 from 群成员 where 群号=" + SqlQuote(group) +
                              " ORDER BY 最后发言 asc");
    }
  }
  return victim;
}

void MemberLimit::removeVictim(const std::string& group, const std::string& victim) {
  const int64_t groupNumber = TextToInt(group);
  const int64_t victimNumber = TextToInt(victim);
  if (robot_.settings.checked(opt::kLimitKickNoticeOn)) {
    std::string text = robot_.settings.text(opt::kLimitKickNotice);
    text = ReplaceAll(text, "[昵称]", cq::At(victimNumber));
    text = ReplaceAll(text, "[时间]", DateTimeText(robot_.clock.now()));
    robot_.host.CQ_sendGroupMsg(groupNumber, text);
  }
  robot_.host.CQ_setGroupKick(groupNumber, victimNumber, false);
  invites_.recordDeparture(victim, group);
  robot_.db.Execute("delete from 群成员 where QQ号=" + SqlQuote(victim) +
                    " and 群号=" + SqlQuote(group));
  robot_.groupLog.WriteGroupLog(group, victim, std::to_string(robot_.host.CQ_getLoginQQ()), "退群");
}

void MemberLimit::recountMembers() {
  std::lock_guard lock(mu_);
  ListModel& limits = robot_.lists.limits;
  for (size_t row = 0; row < limits.rowCount(); ++row) {
    const std::string group = limits.cell(row, limitcol::kGroup);
    int64_t count = 0;
    {
      ScopedQuery q(robot_.db, "select count(1) from 群成员 where 群号 =" + SqlQuote(group));
      if (q.next()) count = q.integer(0);
    }
    limits.update([&](std::vector<ListRow>& rows) {
      if (row < rows.size() && rows[row].cells.size() > limitcol::kCurrent &&
          rows[row].cells[limitcol::kGroup] == group) {
        rows[row].cells[limitcol::kCurrent] = std::to_string(count);
      }
    });
  }
}

}  // namespace bw
