#include "onebot/onebot_host.h"

#include <algorithm>

#include "onebot/connection.h"
#include "onebot/json_fields.h"
#include "storage/list_file.h"
#include "util/log.h"

namespace bw::onebot {
namespace {

// The run log's words for each acting call.
const char* LabelOf(std::string_view action) {
  if (action == "send_group_msg") return "发送群消息";
  if (action == "send_private_msg") return "发送私聊消息";
  if (action == "set_group_kick") return "踢人";
  if (action == "set_group_ban") return "禁言";
  if (action == "set_group_whole_ban") return "全员禁言";
  if (action == "set_group_card") return "修改群名片";
  if (action == "set_group_add_request") return "处理加群请求";
  if (action == "delete_msg") return "撤回消息";
  return "操作";
}

std::string GroupAndMember(int64_t group, int64_t member) {
  return "群" + std::to_string(group) + " 成员" + std::to_string(member);
}

GroupMember MemberFromJson(const Json& m, int64_t group) {
  GroupMember g;
  g.group = IntField(m, "group_id").value_or(group);
  g.account = IntField(m, "user_id").value_or(0);
  g.nickname = CleanNetworkText(TextField(m, "nickname"));
  g.card = CleanNetworkText(TextField(m, "card"));
  g.sex = SexNumber(TextField(m, "sex"));
  g.age = static_cast<int32_t>(IntField(m, "age").value_or(0));
  g.area = TextField(m, "area");
  g.joinTime = static_cast<int32_t>(IntField(m, "join_time").value_or(0));
  g.lastSpeakTime = static_cast<int32_t>(IntField(m, "last_sent_time").value_or(0));
  g.level = TextField(m, "level");
  g.permission = PermissionOfRole(TextField(m, "role"));
  g.unfriendly = BoolField(m, "unfriendly");
  g.title = CleanNetworkText(TextField(m, "title"));
  g.titleExpiry = static_cast<int32_t>(IntField(m, "title_expire_time").value_or(0));
  g.cardChangeable = BoolField(m, "card_changeable");
  return g;
}

}  // namespace

int32_t PermissionOfRole(const std::string& role) {
  if (role == "owner") return 3;
  if (role == "admin") return 2;
  return 1;
}

int32_t SexNumber(const std::string& sex) {
  if (sex == "male") return 0;
  if (sex == "female") return 1;
  return 255;
}

std::string FailedCallText(std::string_view label, std::string_view action, std::string_view what,
                           const CallResult& result) {
  std::string why;
  if (result.status == "expired") {
    why = "连接断开期间未能发出，已过期";
  } else if (result.status == "timeout") {
    why = "无应答";
  } else if (result.status == "stopped") {
    why = "服务停止时未完成";
  } else {
    why = "retcode " + std::to_string(result.retcode);
  }
  if (!result.message.empty()) why += "，" + result.message;
  return std::string(label) + "失败：" + std::string(action) + " " + std::string(what) + "（" +
         why + "）";
}

// Shared with the posted calls' handlers, which may run after this host is gone.
struct OneBotHost::Reporter {
  std::mutex mu;
  RunLog* runLog = nullptr;

  void report(const char* action, const std::string& what, const CallResult& result) {
    const char* label = LabelOf(action);
    const std::string text = FailedCallText(label, action, what, result);
    std::lock_guard lock(mu);
    if (runLog) {
      runLog->WriteRunLog(label, text);
    } else {
      LogWarning("OneBot: " + text);
    }
  }
};

OneBotHost::OneBotHost(Connection& connection)
    : reporter_(std::make_shared<Reporter>()), connection_(connection) {}

OneBotHost::~OneBotHost() { setRunLog(nullptr); }

void OneBotHost::setRunLog(RunLog* runLog) {
  std::lock_guard lock(reporter_->mu);
  reporter_->runLog = runLog;
}

void OneBotHost::act(const char* action, Json params, std::string what, ActOutcome outcome) {
  connection_.post(action, std::move(params),
                   [reporter = reporter_, action, what = std::move(what),
                    outcome = std::move(outcome)](const CallResult& r) {
                     if (!r.ok) reporter->report(action, what, r);
                     if (outcome) outcome(r.ok);
                   });
}

void OneBotHost::CQ_setFatal(const std::string& text) {
  // OneBot has no such call; the service log is where an operator looks.
  LogError("fatal: " + text);
}

bool OneBotHost::refreshLogin() {
  CallResult r = connection_.call("get_login_info");
  if (!r.ok) return false;
  const int64_t qq = IntField(r.data, "user_id").value_or(0);
  if (qq <= 0) {
    LogWarning("OneBot: get_login_info named no account");
    return false;
  }
  std::lock_guard lock(mu_);
  loginQQ_ = qq;
  loginNick_ = TextField(r.data, "nickname");
  return true;
}

int64_t OneBotHost::CQ_getLoginQQ() {
  refreshLogin();
  std::lock_guard lock(mu_);
  return loginQQ_;
}

std::string OneBotHost::CQ_getLoginNick() {
  refreshLogin();
  std::lock_guard lock(mu_);
  return loginNick_;
}

std::string OneBotHost::CQ_getCookies() {
  CallResult r = connection_.call("get_cookies", Json{{"domain", kCookieDomain}});
  return r.ok ? TextField(r.data, "cookies") : std::string();
}

int32_t OneBotHost::CQ_getCsrfToken() {
  CallResult r = connection_.call("get_csrf_token");
  if (!r.ok) return 0;
  return static_cast<int32_t>(IntField(r.data, "token").value_or(0));
}

// Acting calls return 0 once posted: the outcome is reported when it comes.

int32_t OneBotHost::CQ_sendGroupMsg(int64_t group, const std::string& text) {
  act("send_group_msg", Json{{"group_id", group}, {"message", text}, {"auto_escape", false}},
      "群" + std::to_string(group));
  return 0;
}

int32_t OneBotHost::CQ_sendPrivateMsg(int64_t account, const std::string& text) {
  act("send_private_msg", Json{{"user_id", account}, {"message", text}, {"auto_escape", false}},
      "成员" + std::to_string(account));
  return 0;
}

int32_t OneBotHost::CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) {
  setGroupKickThen(group, account, refuseRejoin, {});
  return 0;
}

int32_t OneBotHost::CQ_setGroupBan(int64_t group, int64_t account, int64_t seconds) {
  setGroupBanThen(group, account, seconds, {});
  return 0;
}

void OneBotHost::setGroupKickThen(int64_t group, int64_t account, bool refuseRejoin,
                                  ActOutcome outcome) {
  act("set_group_kick",
      Json{{"group_id", group}, {"user_id", account}, {"reject_add_request", refuseRejoin}},
      GroupAndMember(group, account), std::move(outcome));
}

void OneBotHost::setGroupBanThen(int64_t group, int64_t account, int64_t seconds,
                                 ActOutcome outcome) {
  act("set_group_ban", Json{{"group_id", group}, {"user_id", account}, {"duration", seconds}},
      GroupAndMember(group, account), std::move(outcome));
}

int32_t OneBotHost::recallMessage(int64_t messageId) {
  act("delete_msg", Json{{"message_id", messageId}}, "消息" + std::to_string(messageId));
  return 0;
}

int32_t OneBotHost::CQ_setGroupWholeBan(int64_t group, bool enable) {
  act("set_group_whole_ban", Json{{"group_id", group}, {"enable", enable}},
      "群" + std::to_string(group));
  return 0;
}

int32_t OneBotHost::CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) {
  act("set_group_card", Json{{"group_id", group}, {"user_id", account}, {"card", card}},
      GroupAndMember(group, account));
  return 0;
}

void OneBotHost::noteRequest(const std::string& flag, int64_t group, int64_t member) {
  constexpr size_t kKept = 1000;
  std::lock_guard lock(mu_);
  if (requests_.emplace(flag, std::pair(group, member)).second) requestOrder_.push_back(flag);
  while (requestOrder_.size() > kKept) {
    requests_.erase(requestOrder_.front());
    requestOrder_.pop_front();
  }
}

int32_t OneBotHost::CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                            int32_t decision, const std::string& reason) {
  const std::string sub = requestType == 2 ? "invite" : "add";
  std::string what = "请求" + responseFlag;
  {
    std::lock_guard lock(mu_);
    if (auto it = requests_.find(responseFlag); it != requests_.end())
      what = GroupAndMember(it->second.first, it->second.second) + " " + what;
  }
  // "type" as well: some implementations read that name instead of sub_type.
  act("set_group_add_request",
      Json{{"flag", responseFlag},
           {"sub_type", sub},
           {"type", sub},
           {"approve", decision == kRequestApprove},
           {"reason", reason}},
      what);
  return 0;
}

int32_t OneBotHost::CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) {
  // Large groups take the implementation a while to list.
  const Millis wait = std::max(connection_.options().callTimeout, Millis(60000));
  CallResult r = connection_.call("get_group_member_list", Json{{"group_id", group}}, wait);
  if (!r.ok || !r.data.is_array() || r.data.empty()) return kMemberListFailed;
  std::vector<GroupMember> list;
  list.reserve(r.data.size());
  for (const Json& m : r.data) {
    if (!m.is_object() || IntField(m, "user_id").value_or(0) <= 0) {
      LogWarning("OneBot: get_group_member_list of " + std::to_string(group) +
                 " held an entry without an account; the list is not used");
      return kMemberListFailed;
    }
    list.push_back(MemberFromJson(m, group));
  }
  members = std::move(list);
  return 0;
}

}  // namespace bw::onebot
