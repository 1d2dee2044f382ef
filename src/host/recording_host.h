// RecordingHost: a HostApi that makes no real calls. It records every call in
// order and answers the read calls with values the owner configures. Tests use
// it to check exactly which host calls a rule makes; `brindle-warden replay`
// uses it to print the calls the rules would make.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace bw {

// One recorded call. `action` is the OneBot name of the call (send_group_msg,
// send_private_msg, set_group_kick, set_group_ban, set_group_whole_ban,
// set_group_card, set_group_add_request, delete_msg; read calls: get_login_info,
// get_cookies, get_csrf_token, get_group_member_list; set_fatal).
struct HostCall {
  std::string action;
  int64_t group = 0;
  int64_t account = 0;
  std::string text;    // message, card, reason or fatal text
  std::string flag;    // response flag of set_group_add_request
  int64_t number = 0;  // ban seconds, request type, recalled message id
  int32_t decision = 0;
  bool enable = false;  // whole ban on/off, kick's refuse-rejoin

  // True for the calls that change something in a group: the sends and the
  // set_group_* calls; false for the get_* read calls and set_fatal.
  bool isAction() const;
  // The OneBot form, keys in the protocol's order, numbers as JSON numbers and
  // flags as JSON booleans: {"action":"send_group_msg","params":{"group_id":100,
  // "message":"hi"}}. set_group_add_request's sub_type is "invite" for request
  // type 2 and "add" otherwise; approve is decision == kRequestApprove. Bytes
  // that are no UTF-8 are printed as U+FFFD.
  std::string toJson() const;
};

class RecordingHost : public HostApi {
 public:
  RecordingHost() = default;

  // Read-call answers.
  void setLoginQQ(int64_t qq);
  void setLoginNick(std::string nick);
  void setCookies(std::string cookies);
  void setCsrfToken(int32_t token);
  // A group with a member list; without one CQ_getGroupMemberList fails.
  void setMemberList(int64_t group, std::vector<GroupMember> members);
  void clearMemberList(int64_t group);

  // Called after each recorded call, one call at a time and in the order of the
  // record (replay prints from here). The observer may read calls() but must not
  // call the host itself.
  void setObserver(std::function<void(const HostCall&)> observer);

  std::vector<HostCall> calls() const;
  std::vector<HostCall> actions() const;  // only calls that change something
  void clear();

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
  int32_t CQ_setGroupWholeBan(int64_t group, bool enable) override;
  int32_t CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) override;
  int32_t CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                  int32_t decision, const std::string& reason) override;
  int32_t CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) override;

 private:
  void record(HostCall call);

  // observerMu_ is taken first and held across recording and notifying, so the
  // observer sees the calls in the recorded order; mu_ guards the state.
  std::mutex observerMu_;
  mutable std::mutex mu_;
  std::vector<HostCall> calls_;
  std::function<void(const HostCall&)> observer_;
  int64_t loginQQ_ = 10000;
  std::string loginNick_;
  std::string cookies_;
  int32_t csrfToken_ = 0;
  std::map<int64_t, std::vector<GroupMember>> memberLists_;
};

}  // namespace bw
