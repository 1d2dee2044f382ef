#include "membership/join_screening.h"

#include <string>

#include "events/delay.h"
#include "events/managed_groups.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "membership/invite_stats.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "settings/settings_model.h"
#include "util/text.h"
#include "web/qq_services.h"
#include "settings/option_names.h"

namespace bw {
namespace {

constexpr const char* kBlacklisted = "你已经在黑名单里面禁止入群有问题联系群主或管理员!";
constexpr const char* kInAnotherGroup = "你已经在别的群里面禁止一号多群有问题联系群主或管理员!";
constexpr const char* kLevelTooLow = "你的等级不符合要求!";

// A failing query reads as 0: the applicant passes that test.
int64_t CountRows(Database& db, const std::string& sql) {
  ScopedQuery q(db, sql);
  return q.next() ? q.integer(0) : 0;
}

}  // namespace

JoinScreening::JoinScreening(Robot& robot, InviteStats& invites)
    : robot_(robot), invites_(invites) {}

void JoinScreening::screenJoinRequest(const JoinRequestRecord& record) {
  const Settings& s = robot_.settings;
  if (!s.checked(opt::kJoinReviewOn)) return;
  if (record.subType != 1 || !robot_.managedGroups.contains(record.fromGroup)) return;

  const std::string applicant = std::to_string(record.fromQQ);
  const std::string inviter =
      Contains(record.msg, "邀请人") ? TextBetween(record.msg, "qq=", "]") : std::string();

  auto refuse = [&](const char* reason) {
    robot_.host.CQ_setGroupAddRequestV2(record.responseFlag, kRequestGroupAdd, kRequestRefuse,
                                        reason);
  };

  if (CountRows(robot_.db, "select count(1) from 黑名单 where QQ号 =" + SqlQuote(applicant)) > 0) {
    return refuse(kBlacklisted);
  }
  if (s.checked(opt::kOneGroupPerAccount)) {
    if (CountRows(robot_.db, "select count(1) from 群成员 where QQ号 =" + SqlQuote(applicant)) >
        0) {
      return refuse(kInAnotherGroup);
    }
  } else if (s.checked(opt::kLevelCheck)) {
    const std::string level = robot_.qq.fetchQqLevel(applicant);
    if (!level.empty() && TextToInt(level) < s.number(opt::kJoinLevel)) {
      return refuse(kLevelTooLow);
    }
  }

  robot_.host.CQ_setGroupAddRequestV2(record.responseFlag, kRequestGroupAdd, kRequestApprove, "");
  if (!inviter.empty()) {
    invites_.recordInvitation(inviter, applicant, std::to_string(record.fromGroup));
  }
  delay(robot_.clock, 1000, 0, robot_.stop);  // spaces approvals out
}

}  // namespace bw
