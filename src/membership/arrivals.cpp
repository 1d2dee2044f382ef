#include "membership/arrivals.h"

#include <algorithm>
#include <limits>

#include "events/managed_groups.h"
#include "host/host_api.h"
#include "host/message_variables.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "membership/case_recorder.h"
#include "membership/invite_stats.h"
#include "membership/member_limit.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/member_table.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/time_text.h"
#include "web/qq_services.h"

namespace bw {

std::string BuildNewcomerCard(const Settings& s, const std::string& nickname) {
  std::string card = nickname;
  if (s.checked(opt::kCardLengthOn)) {
    const int64_t n = s.number(opt::kCardLength);
    // A half character would show as garbage in the card: cut before it.
    card = n <= 0 ? std::string()
                  : PrefixByGbkBytes(card, static_cast<size_t>(std::min<int64_t>(n, 1 << 20) * 2));
  }
  if (s.checked(opt::kCardPrefixOn)) card = s.text(opt::kCardPrefix) + card;
  if (s.checked(opt::kCardSuffixOn)) card += s.text(opt::kCardSuffix);
  return card;
}

Arrivals::Arrivals(Clock& clock, HostApi& host, Settings& settings, ListViews& views,
                   RunLog& runLog, GroupLog& groupLog, QqServices& qq, ManagedGroups& managedGroups,
                   MemberTable& members, InviteStats& invites, MemberLimit& limit,
                   CaseRecorder& cases)
    : clock_(clock),
      host_(host),
      settings_(settings),
      views_(views),
      runLog_(runLog),
      groupLog_(groupLog),
      qq_(qq),
      managedGroups_(managedGroups),
      members_(members),
      invites_(invites),
      limit_(limit),
      cases_(cases) {
  subscription_ = settings_.subscribe([this](const std::string& name) {
    if (name != opt::kWelcomeOn || settings_.restoring()) return;
    runLog_.WriteRunLog("操作",
                        settings_.checked(opt::kWelcomeOn) ? "开启进群欢迎" : "关闭进群欢迎");
  });
}

Arrivals::~Arrivals() {
  gate_->close();
  settings_.unsubscribe(subscription_);
}

void Arrivals::onMemberJoined(const MemberChangeRecord& record) {
  const int position = managedGroups_.position(record.fromGroup);
  if (position == 0) return;
  const int64_t group = record.fromGroup;
  const int64_t member = record.beingOperateQQ;
  if (members_.contains(group, member)) return;  // this join was handled already
  const Settings& s = settings_;

  groupLog_.WriteGroupLog(std::to_string(group), std::to_string(member),
                          std::to_string(record.fromQQ), "进群");
  members_.addArrival(group, member, UnixTimestamp(clock_));

  if (s.checked(opt::kJoinReviewOn)) {
    if (s.checked(opt::kMuteOnJoin)) {
      // Bounded so that a huge number in the box cannot overflow the seconds.
      const int64_t minutes = std::clamp<int64_t>(s.number(opt::kJoinMuteMinutes), 0,
                                                  std::numeric_limits<int64_t>::max() / 60);
      // A case once the host did it, as for every mute of the robot.
      host_.setGroupBanThen(
          group, member, minutes * 60,
          [gate = gate_, &cases = cases_, group, member, seconds = minutes * 60](bool done) {
            if (!done || seconds <= 0) return;
            gate->run([&] {
              cases.record(
                  kCaseMute, group, member,
                  CaseContext{CaseRecorder::RuleLabel(opt::kMuteOnJoin), "新成员进群禁言", "", 0},
                  seconds);
            });
          });
    }
    if (s.checked(opt::kRenameOnJoin)) {
      host_.CQ_setGroupCard(group, member, buildCard(qq_.fetchNickname(std::to_string(member))));
    }
  }
  if (s.checked(opt::kWelcomeOn)) sendWelcome(group, member);
  if (record.subType == 2) invites_.recordInvitation(group, member, record.fromQQ);
  if (s.checked(opt::kMemberLimitOn)) limit_.enforceMemberLimit(position, true);
}

std::string Arrivals::buildCard(const std::string& nickname) const {
  return BuildNewcomerCard(settings_, nickname);
}

void Arrivals::sendWelcome(int64_t group, int64_t member) {
  const int position = managedGroups_.position(group);
  if (position == 0) return;
  const std::string groupText = std::to_string(group);
  // Row P-1 belongs to the group; while the list is being rebuilt it may not,
  // so look the group up instead of taking another group's text.
  const ListModel& welcome = views_.welcome;
  size_t row = static_cast<size_t>(position - 1);
  if (welcome.cell(row, welcomecol::kGroup) != groupText) {
    row = welcome.rowCount();
    for (size_t i = 0; i < welcome.rowCount(); ++i) {
      if (welcome.cell(i, welcomecol::kGroup) == groupText) {
        row = i;
        break;
      }
    }
  }
  std::string text = welcome.cell(row, welcomecol::kText);
  const Settings& s = settings_;
  if (text.empty()) text = s.text(opt::kWelcomeText);
  if (text.empty()) return;
  text = FillMessageVariables(text, member, clock_.now());
  const bool both = s.checked(opt::kWelcomeBoth);
  if (both || s.checked(opt::kWelcomeGroupOnly)) host_.CQ_sendGroupMsg(group, text);
  if (both || s.checked(opt::kWelcomePrivateOnly)) host_.CQ_sendPrivateMsg(member, text);
}

}  // namespace bw
