#include "membership/arrivals.h"

#include <algorithm>
#include <limits>

#include "events/managed_groups.h"
#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "membership/invite_stats.h"
#include "membership/member_limit.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/text.h"
#include "util/time_text.h"
#include "web/qq_services.h"
#include "settings/option_names.h"

namespace bw {
namespace {


}  // namespace

Arrivals::Arrivals(Robot& robot, InviteStats& invites, MemberLimit& limit)
    : robot_(robot), invites_(invites), limit_(limit) {
  subscription_ = robot_.settings.subscribe([this](const std::string& name) {
    if (name != opt::kWelcomeOn || robot_.settings.restoring()) return;
    robot_.runLog.WriteRunLog(
        "操作", robot_.settings.checked(opt::kWelcomeOn) ? "开启进群欢迎" : "关闭进群欢迎");
  });
}

Arrivals::~Arrivals() { robot_.settings.unsubscribe(subscription_); }

bool Arrivals::isMemberRecorded(const std::string& qq, const std::string& group) {
  ScopedQuery q(robot_.db, "select count(1) from 群成员 where QQ号 =" + SqlQuote(qq) +
                               " and 群号=" + SqlQuote(group));
  return q.next() && q.integer(0) > 0;
}

void Arrivals::onMemberJoined(const MemberChangeRecord& record) {
  const int position = robot_.managedGroups.position(record.fromGroup);
  if (position == 0) return;
  const std::string group = std::to_string(record.fromGroup);
  const std::string member = std::to_string(record.beingOperateQQ);
  if (isMemberRecorded(member, group)) return;  // this join was handled already
  const Settings& s = robot_.settings;

  robot_.groupLog.WriteGroupLog(group, member, std::to_string(record.fromQQ), "进群");
  robot_.db.Execute("insert into 群成员(群号,QQ号,加群时间) values(" + SqlQuote(group) + "," +
                    SqlQuote(member) + "," + SqlQuote(UnixTimestamp(robot_.clock)) + ")");

  if (s.checked(opt::kJoinReviewOn)) {
    if (s.checked(opt::kMuteOnJoin)) {
      // Bounded so that a huge number in the box cannot overflow the seconds.
      const int64_t minutes = std::clamp<int64_t>(s.number(opt::kJoinMuteMinutes), 0,
                                                  std::numeric_limits<int64_t>::max() / 60);
      robot_.host.CQ_setGroupBan(record.fromGroup, record.beingOperateQQ, minutes * 60);
    }
    if (s.checked(opt::kRenameOnJoin)) {
      robot_.host.CQ_setGroupCard(record.fromGroup, record.beingOperateQQ,
                                  buildCard(robot_.qq.fetchNickname(member)));
    }
  }
  if (s.checked(opt::kWelcomeOn)) sendWelcome(record.beingOperateQQ, record.fromGroup);
  if (record.subType == 2) invites_.recordInvitation(std::to_string(record.fromQQ), member, group);
  if (s.checked(opt::kMemberLimitOn)) limit_.enforceMemberLimit(position, true);
}

std::string Arrivals::buildCard(const std::string& nickname) const {
  const Settings& s = robot_.settings;
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

void Arrivals::sendWelcome(int64_t member, int64_t group) {
  const int position = robot_.managedGroups.position(group);
  if (position == 0) return;
  const std::string groupText = std::to_string(group);
  // Row P-1 belongs to the group; while the list is being rebuilt it may not,
  // so look the group up instead of taking another group's text.
  const ListModel& welcome = robot_.lists.welcome;
  std::string text;
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
  text = welcome.cell(row, welcomecol::kText);
  const Settings& s = robot_.settings;
  if (text.empty()) text = s.text(opt::kWelcomeText);
  if (text.empty()) return;
  text = ReplaceAll(text, "[昵称]", cq::At(member));
  text = ReplaceAll(text, "[时间]", DateTimeText(robot_.clock.now()));
  const bool both = s.checked(opt::kWelcomeBoth);
  if (both || s.checked(opt::kWelcomeGroupOnly)) robot_.host.CQ_sendGroupMsg(group, text);
  if (both || s.checked(opt::kWelcomePrivateOnly)) robot_.host.CQ_sendPrivateMsg(member, text);
}

}  // namespace bw
