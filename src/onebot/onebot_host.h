// OneBotHost: the HostApi over a OneBot v11 connection. Each CQ_* call is one
// action (send_group_msg, set_group_kick, ...).
//
// Reads (login, cookies, member lists) wait for their answer within the
// connection's time-out; a failed or unanswered read gives the failure result
// of the legacy call (-1, 0, empty text, kMemberListFailed) and is logged.
//
// Acting calls (messages, kicks, mutes, whole-group mutes, cards, request
// answers) are posted: they return 0 at once, leave in call order, are held
// while the link is down and sent after the reconnect (see Connection::post).
// A slow implementation would otherwise hold every group's queue behind one
// answer. The outcome of a kick or a mute reaches the rule later, through
// setGroupKickThen / setGroupBanThen, on the connection's thread (or at once
// when the connection has ended). A posted call that finally fails
// (refused with a non-zero retcode, unanswered, expired while held) is
// reported: a run-log entry with "失败" naming the call, the group and the
// member, once setRunLog() was called, else a log line.
//
// The login account and nickname are remembered from the last good answer, so
// that a short disconnection does not make the robot forget who it is.
//
// Names, nicknames, cards and titles from the implementation are cleaned here
// (CleanNetworkText): a line break or the list files' separator in a group
// member's card must not reach a list file or a one-line log.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "logs/run_log.h"
#include "onebot/connection.h"

namespace bw::onebot {

// The web domain whose cookies the QQ group web services need.
inline constexpr const char* kCookieDomain = "qun.qq.com";

class OneBotHost : public HostApi {
 public:
  explicit OneBotHost(Connection& connection);
  ~OneBotHost() override;

  // Where failed acting calls are reported (null: the log only). The run log
  // must outlive this object or be unset first.
  void setRunLog(RunLog* runLog);

  bool canRecall() const override { return true; }
  int32_t recallMessage(int64_t messageId) override;
  void CQ_setFatal(const std::string& text) override;
  int64_t CQ_getLoginQQ() override;
  std::string CQ_getLoginNick() override;
  std::string CQ_getCookies() override;
  int32_t CQ_getCsrfToken() override;
  int32_t CQ_sendGroupMsg(int64_t group, const std::string& text) override;
  int32_t CQ_sendPrivateMsg(int64_t account, const std::string& text) override;
  int32_t CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) override;
  int32_t CQ_setGroupBan(int64_t group, int64_t account, int64_t seconds) override;
  void setGroupKickThen(int64_t group, int64_t account, bool refuseRejoin,
                        ActOutcome outcome) override;
  void setGroupBanThen(int64_t group, int64_t account, int64_t seconds,
                       ActOutcome outcome) override;
  int32_t CQ_setGroupWholeBan(int64_t group, bool enable) override;
  int32_t CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) override;
  int32_t CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                  int32_t decision, const std::string& reason) override;
  int32_t CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) override;

  // A join request seen by the service: its answer's failure report then names
  // the group and the applicant, not only the flag. The latest 1,000 are kept.
  void noteRequest(const std::string& flag, int64_t group, int64_t member);

  Connection& connection() { return connection_; }

 private:
  bool refreshLogin();
  struct Reporter;
  // Posts an acting call; `what` names it in a failure report; `outcome`
  // (if any) runs after the report.
  void act(const char* action, Json params, std::string what, ActOutcome outcome = {});
  std::shared_ptr<Reporter> reporter_;

  Connection& connection_;
  std::mutex mu_;
  std::map<std::string, std::pair<int64_t, int64_t>> requests_;  // flag -> group, member
  std::deque<std::string> requestOrder_;
  int64_t loginQQ_ = 0;
  std::string loginNick_;
};

// The run-log entry of an acting call that finally failed, e.g.
// "踢人失败：set_group_kick 群100 成员20001（retcode 102，not admin）".
std::string FailedCallText(std::string_view label, std::string_view action, std::string_view what,
                           const CallResult& result);

// OneBot's role text as the legacy permission number: owner 3, admin 2, else 1.
int32_t PermissionOfRole(const std::string& role);
// OneBot's sex text as the legacy number: male 0, female 1, anything else 255.
int32_t SexNumber(const std::string& sex);

}  // namespace bw::onebot
