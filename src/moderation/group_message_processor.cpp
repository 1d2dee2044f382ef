#include "moderation/group_message_processor.h"

#include <optional>

#include "host/cq_code.h"
#include "host/identity.h"
#include "membership/account_lists.h"
#include "membership/case_recorder.h"
#include "membership/invite_stats.h"
#include "moderation/keyword_replies.h"
#include "moderation/violations.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

constexpr std::string_view kAtMarker = "at,qq=";

// The account of the first at-code that does not mention the robot itself:
// "@robot @member 走你" is meant for the member. Empty when there is none.
std::string CommandTarget(std::string_view msg, std::string_view robotAccount) {
  size_t pos = 0;
  while ((pos = msg.find(kAtMarker, pos)) != std::string_view::npos) {
    const size_t begin = pos + kAtMarker.size();
    const size_t end = msg.find(']', begin);
    if (end == std::string_view::npos) break;
    std::string_view target = msg.substr(begin, end - begin);
    // Some hosts add fields after the account ("[CQ:at,qq=123,name=…]").
    target = target.substr(0, target.find(','));
    if (target != robotAccount) return std::string(target);
    pos = end;
  }
  return {};
}

// The account a command names; nothing, with a log line, when its mention
// names no account ("all", or only the robot's own).
std::optional<int64_t> CommandAccount(std::string_view msg, std::string_view robotAccount,
                                      std::string_view command, const GroupMessageRecord& r) {
  const std::string target = CommandTarget(msg, robotAccount);
  if (IsAccountNumber(target)) return TextToInt(target);
  LogWarning(std::string(command) + " of " + std::to_string(r.fromQQ) + " in group " +
             std::to_string(r.fromGroup) + " refused: \"" + target + "\" is no account number");
  return std::nullopt;
}

}  // namespace

GroupMessageProcessor::GroupMessageProcessor(Settings& settings, const Identity& identity,
                                             InviteStats& invites, AccountLists& lists,
                                             Violations& violations, KeywordReplies& replies)
    : settings_(settings),
      identity_(identity),
      invites_(invites),
      lists_(lists),
      violations_(violations),
      replies_(replies) {}

void GroupMessageProcessor::process(const GroupMessageRecord& record) {
  Settings& settings = settings_;
  const std::string& msg = record.msg;
  const std::string robotAccount = identity_.loginAccount();
  const bool mentionsSomeone = Contains(msg, kAtMarker);

  bool passOn = true;
  if (settings.checked(opt::kInviteQueryOn)) {
    passOn = false;
    if (msg == "邀请查询") {
      invites_.replyInviteQuery(record.fromGroup, record.fromQQ);
    } else if (!lists_.isAdministrator(record.fromQQ)) {
      passOn = true;
    } else if (mentionsSomeone && Contains(msg, "清空统计")) {
      if (auto target = CommandAccount(msg, robotAccount, "清空统计", record))
        invites_.clearInviteStats(record.fromGroup, *target);
    } else if (mentionsSomeone && Contains(msg, "邀请明细")) {
      if (auto target = CommandAccount(msg, robotAccount, "邀请明细", record))
        invites_.replyInvitedList(record.fromGroup, *target);
    } else {
      passOn = true;
    }
  }

  bool checked = false;
  if (passOn && settings.checked(opt::kAdDetectionOn)) {
    if (lists_.isAdministrator(record.fromQQ)) {
      // An empty command word would turn every mention by an administrator
      // into a kick.
      const std::string command = settings.text(opt::kAtKickCommand);
      if (mentionsSomeone && !command.empty() && Contains(msg, command)) {
        if (auto target = CommandAccount(msg, robotAccount, "kick command", record)) {
          violations_.punish(
              record.fromGroup, *target, PenaltyMode::kKick,
              CaseContext{CaseRecorder::RuleLabel(opt::kAtKickCommand),
                          "管理员命令“" + command + "”", CaseTable::Excerpt(msg), record.fromQQ});
        }
      }
    } else if (!lists_.isWhitelisted(record.fromQQ)) {
      checked = true;
      CaseContext why;
      if (violations_.check(record, &why))
        violations_.punish(record.fromGroup, record.fromQQ, PenaltyMode::kNormal, why);
    }
  }
  if (!checked) violations_.noteSpeaker(record.fromGroup, record.fromQQ);

  const int64_t robot = TextToInt(robotAccount);
  if (settings.checked(opt::kKeywordReplyOn) && settings.checked(opt::kReplyInGroups) &&
      robot != 0 && Contains(msg, cq::At(robot, true)))
    replies_.AnswerKeyword(msg, record.fromGroup, record.fromQQ, ReplySource::kGroup);
}

PrivateMessageHandler::PrivateMessageHandler(Settings& settings, KeywordReplies& replies)
    : settings_(settings), replies_(replies) {}

void PrivateMessageHandler::handle(const PrivateMessageRecord& record) {
  if (settings_.checked(opt::kKeywordReplyOn) && settings_.checked(opt::kReplyInPrivate))
    replies_.AnswerKeyword(record.msg, 0, record.fromQQ, ReplySource::kPrivate);
}

}  // namespace bw
