#include "membership/member_limit.h"

#include <string>
#include <vector>

#include "host/host_api.h"
#include "host/identity.h"
#include "host/message_variables.h"
#include "membership/case_recorder.h"
#include "membership/member_removal.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/member_table.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

MemberLimit::MemberLimit(Clock& clock, HostApi& host, Settings& settings, ListViews& views,
                         const Identity& identity, MemberTable& members, MemberRemoval& removal,
                         CaseRecorder& cases)
    : clock_(clock),
      host_(host),
      settings_(settings),
      views_(views),
      identity_(identity),
      members_(members),
      removal_(removal),
      cases_(cases) {
  subscription_ = settings_.subscribe([this](const std::string& name) {
    if (name == opt::kMemberLimitOn && settings_.checked(opt::kMemberLimitOn)) recountMembers();
  });
}

MemberLimit::~MemberLimit() { settings_.unsubscribe(subscription_); }

void MemberLimit::enforceMemberLimit(int position, bool joined) {
  std::lock_guard lock(mu_);
  ListModel& limits = views_.limits;
  if (position < 1 || static_cast<size_t>(position) > limits.rowCount()) {
    LogWarning("member limit: no limit-list row for managed group " + std::to_string(position));
    return;
  }
  const size_t row = static_cast<size_t>(position - 1);
  const std::string group = limits.cell(row, limitcol::kGroup);
  int64_t count = TextToInt(limits.cell(row, limitcol::kCurrent));
  if (!joined) {
    --count;
  } else {
    ++count;
    if (count > TextToInt(limits.cell(row, limitcol::kLimit))) {
      if (!IsAccountNumber(group)) {
        LogWarning("member limit: \"" + group + "\" is no group number; nobody removed");
      } else if (const int64_t victim = chooseVictim(TextToInt(group)); victim != 0) {
        removeVictim(row, group, victim);
        --count;
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
    rows[row].cells[limitcol::kCurrent] = std::to_string(count);
  });
}

int64_t MemberLimit::chooseVictim(int64_t group) {
  using Order = MemberTable::Order;
  const Order order = settings_.checked(opt::kLimitKickEarliestJoined) ? Order::kEarliestJoined
                      : settings_.checked(opt::kLimitKickLatestJoined) ? Order::kLatestJoined
                                                                       : Order::kOldestLastSpoke;
  auto firstCandidate = [&](bool neverSpokeOnly) -> int64_t {
    for (const int64_t account : members_.accountsInOrder(group, order, neverSpokeOnly)) {
      if (identity_.isUntouchable(account)) continue;
      // A kick of the owner or an administrator always fails; choosing one
      // would drop a present member's row and count a removal that never was.
      if (members_.isStaff(group, account)) continue;
      return account;
    }
    return 0;
  };
  int64_t victim = 0;
  // With no rule selected at all only the fallback order applies.
  const bool ruleSelected =
      order != Order::kOldestLastSpoke || settings_.checked(opt::kLimitKickLongestSilent);
  if (settings_.checked(opt::kLimitPreferNeverSpoke) && ruleSelected) {
    victim = firstCandidate(true);
  }
  if (victim == 0) victim = firstCandidate(false);
  return victim;
}

void MemberLimit::removeVictim(size_t row, const std::string& groupText, int64_t victim) {
  const int64_t group = TextToInt(groupText);
  if (settings_.checked(opt::kLimitKickNoticeOn)) {
    host_.CQ_sendGroupMsg(
        group, FillMessageVariables(settings_.text(opt::kLimitKickNotice), victim, clock_.now()));
  }
  // 踢掉人数 counts removals, so it grows once the host did the kick. The
  // list views outlive the rules; the row must still be the same group's.
  removal_.kickMember(group, victim, false,
                      [&limits = views_.limits, &cases = cases_, row, groupText, group, victim] {
                        cases.record(kCaseKick, group, victim,
                                     CaseContext{CaseRecorder::RuleLabel(opt::kMemberLimitOn),
                                                 "群人数超过上限", "", 0});
                        limits.update([&](std::vector<ListRow>& rows) {
                          if (row >= rows.size() || rows[row].cells.size() <= limitcol::kKicked ||
                              rows[row].cells[limitcol::kGroup] != groupText) {
                            return;
                          }
                          auto& kicked = rows[row].cells[limitcol::kKicked];
                          kicked = std::to_string(TextToInt(kicked) + 1);
                        });
                      });
}

void MemberLimit::recountMembers() {
  std::lock_guard lock(mu_);
  ListModel& limits = views_.limits;
  for (size_t row = 0; row < limits.rowCount(); ++row) {
    const std::string group = limits.cell(row, limitcol::kGroup);
    const int64_t count = IsAccountNumber(group) ? members_.countInGroup(TextToInt(group)) : 0;
    limits.update([&](std::vector<ListRow>& rows) {
      if (row < rows.size() && rows[row].cells.size() > limitcol::kCurrent &&
          rows[row].cells[limitcol::kGroup] == group) {
        rows[row].cells[limitcol::kCurrent] = std::to_string(count);
      }
    });
  }
}

}  // namespace bw
