#include "host/recording_host.h"

#include <nlohmann/json.hpp>

namespace bw {
namespace {

HostCall MakeCall(std::string action, int64_t group = 0, int64_t account = 0) {
  HostCall call;
  call.action = std::move(action);
  call.group = group;
  call.account = account;
  return call;
}

}  // namespace

// A fatal report is no call of the protocol: replay's standard output, which
// other tools read as OneBot actions, must not carry it.
bool HostCall::isAction() const { return action.rfind("get_", 0) != 0 && action != "set_fatal"; }

std::string HostCall::toJson() const {
  nlohmann::ordered_json params = nlohmann::ordered_json::object();
  if (action == "send_group_msg") {
    params["group_id"] = group;
    params["message"] = text;
  } else if (action == "send_private_msg") {
    params["user_id"] = account;
    params["message"] = text;
  } else if (action == "set_group_kick") {
    params["group_id"] = group;
    params["user_id"] = account;
    params["reject_add_request"] = enable;
  } else if (action == "set_group_ban") {
    params["group_id"] = group;
    params["user_id"] = account;
    params["duration"] = number;
  } else if (action == "set_group_whole_ban") {
    params["group_id"] = group;
    params["enable"] = enable;
  } else if (action == "set_group_card") {
    params["group_id"] = group;
    params["user_id"] = account;
    params["card"] = text;
  } else if (action == "set_group_add_request") {
    params["flag"] = flag;
    params["sub_type"] = number == 2 ? "invite" : "add";
    params["approve"] = decision == kRequestApprove;
    params["reason"] = text;
  } else if (action == "delete_msg") {
    params["message_id"] = number;
  } else if (action == "get_group_member_list") {
    params["group_id"] = group;
  } else if (action == "set_fatal") {
    params["text"] = text;
  }
  nlohmann::ordered_json call;
  call["action"] = action;
  call["params"] = std::move(params);
  return call.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void RecordingHost::setLoginQQ(int64_t qq) {
  std::lock_guard lock(mu_);
  loginQQ_ = qq;
}

void RecordingHost::setLoginNick(std::string nick) {
  std::lock_guard lock(mu_);
  loginNick_ = std::move(nick);
}

void RecordingHost::setCookies(std::string cookies) {
  std::lock_guard lock(mu_);
  cookies_ = std::move(cookies);
}

void RecordingHost::setCsrfToken(int32_t token) {
  std::lock_guard lock(mu_);
  csrfToken_ = token;
}

void RecordingHost::setMemberList(int64_t group, std::vector<GroupMember> members) {
  std::lock_guard lock(mu_);
  memberLists_[group] = std::move(members);
}

void RecordingHost::clearMemberList(int64_t group) {
  std::lock_guard lock(mu_);
  memberLists_.erase(group);
}

void RecordingHost::setObserver(std::function<void(const HostCall&)> observer) {
  std::lock_guard observerLock(observerMu_);
  std::lock_guard lock(mu_);
  observer_ = std::move(observer);
}

std::vector<HostCall> RecordingHost::calls() const {
  std::lock_guard lock(mu_);
  return calls_;
}

std::vector<HostCall> RecordingHost::actions() const {
  std::lock_guard lock(mu_);
  std::vector<HostCall> out;
  for (const HostCall& call : calls_) {
    if (call.isAction()) out.push_back(call);
  }
  return out;
}

void RecordingHost::clear() {
  std::lock_guard lock(mu_);
  calls_.clear();
}

void RecordingHost::record(HostCall call) {
  std::lock_guard observerLock(observerMu_);
  std::function<void(const HostCall&)> observer;
  {
    std::lock_guard lock(mu_);
    calls_.push_back(call);
    observer = observer_;
  }
  if (observer) observer(call);
}

void RecordingHost::CQ_setFatal(const std::string& text) {
  HostCall call;
  call.action = "set_fatal";
  call.text = text;
  record(std::move(call));
}

int64_t RecordingHost::CQ_getLoginQQ() {
  record(MakeCall("get_login_info"));
  std::lock_guard lock(mu_);
  return loginQQ_;
}

std::string RecordingHost::CQ_getLoginNick() {
  record(MakeCall("get_login_info"));
  std::lock_guard lock(mu_);
  return loginNick_;
}

std::string RecordingHost::CQ_getCookies() {
  record(MakeCall("get_cookies"));
  std::lock_guard lock(mu_);
  return cookies_;
}

int32_t RecordingHost::CQ_getCsrfToken() {
  record(MakeCall("get_csrf_token"));
  std::lock_guard lock(mu_);
  return csrfToken_;
}

int32_t RecordingHost::CQ_sendGroupMsg(int64_t group, const std::string& text) {
  HostCall call = MakeCall("send_group_msg", group);
  call.text = text;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_sendPrivateMsg(int64_t account, const std::string& text) {
  HostCall call = MakeCall("send_private_msg", 0, account);
  call.text = text;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) {
  HostCall call = MakeCall("set_group_kick", group, account);
  call.enable = refuseRejoin;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_setGroupBan(int64_t group, int64_t account, int64_t seconds) {
  HostCall call = MakeCall("set_group_ban", group, account);
  call.number = seconds;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::recallMessage(int64_t messageId) {
  HostCall call = MakeCall("delete_msg");
  call.number = messageId;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_setGroupWholeBan(int64_t group, bool enable) {
  HostCall call = MakeCall("set_group_whole_ban", group);
  call.enable = enable;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) {
  HostCall call = MakeCall("set_group_card", group, account);
  call.text = card;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                               int32_t decision, const std::string& reason) {
  HostCall call = MakeCall("set_group_add_request");
  call.flag = responseFlag;
  call.number = requestType;
  call.decision = decision;
  call.text = reason;
  record(std::move(call));
  return 0;
}

int32_t RecordingHost::CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) {
  record(MakeCall("get_group_member_list", group));
  std::lock_guard lock(mu_);
  const auto it = memberLists_.find(group);
  if (it == memberLists_.end()) return kMemberListFailed;
  members = it->second;
  return 0;
}

}  // namespace bw
