#include "membership/join_screening.h"

#include <string>
#include <utility>

#include "events/delay.h"
#include "events/managed_groups.h"
#include "host/host_api.h"
#include "membership/account_lists.h"
#include "membership/case_recorder.h"
#include "membership/invite_stats.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/member_table.h"
#include "util/text.h"
#include "web/qq_services.h"

namespace bw {
namespace {

constexpr const char* kBlacklisted = "你已经在黑名单里面禁止入群有问题联系群主或管理员!";
constexpr const char* kInAnotherGroup = "你已经在别的群里面禁止一号多群有问题联系群主或管理员!";
constexpr const char* kLevelTooLow = "你的等级不符合要求!";

}  // namespace

JoinScreening::JoinScreening(Clock& clock, HostApi& host, Settings& settings, QqServices& qq,
                             ManagedGroups& managedGroups, std::stop_token stop,
                             AccountLists& lists, MemberTable& members, InviteStats& invites,
                             CaseRecorder& cases)
    : clock_(clock),
      host_(host),
      settings_(settings),
      qq_(qq),
      managedGroups_(managedGroups),
      stop_(std::move(stop)),
      lists_(lists),
      members_(members),
      invites_(invites),
      cases_(cases) {}

void JoinScreening::screenJoinRequest(const JoinRequestRecord& record) {
  const Settings& s = settings_;
  if (!s.checked(opt::kJoinReviewOn)) return;
  if (record.subType != 1 || !managedGroups_.contains(record.fromGroup)) return;

  // A refusal the host took is a case: the applicant was kept out.
  auto refuse = [&](const char* reason, std::string rule) {
    const int32_t status = host_.CQ_setGroupAddRequestV2(record.responseFlag, kRequestGroupAdd,
                                                         kRequestRefuse, reason);
    if (status >= 0) {
      cases_.record(kCaseRefuseJoin, record.fromGroup, record.fromQQ,
                    CaseContext{std::move(rule), reason, CaseTable::Excerpt(record.msg), 0});
    }
  };

  // A failing query reads as "not listed": the applicant passes that test.
  if (lists_.isBlacklisted(record.fromQQ)) return refuse(kBlacklisted, "黑名单");
  if (s.checked(opt::kOneGroupPerAccount)) {
    if (members_.inAnyGroup(record.fromQQ)) {
      return refuse(kInAnotherGroup, CaseRecorder::RuleLabel(opt::kOneGroupPerAccount));
    }
  } else if (s.checked(opt::kLevelCheck)) {
    const std::string level = qq_.fetchQqLevel(std::to_string(record.fromQQ));
    if (!level.empty() && TextToInt(level) < s.number(opt::kJoinLevel)) {
      return refuse(kLevelTooLow, CaseRecorder::RuleLabel(opt::kLevelCheck));
    }
  }

  host_.CQ_setGroupAddRequestV2(record.responseFlag, kRequestGroupAdd, kRequestApprove, "");
  if (record.inviter > 0) {
    invites_.recordInvitation(record.fromGroup, record.fromQQ, record.inviter);
  }
  delay(clock_, 1000, 0, stop_);  // spaces approvals out
}

}  // namespace bw
