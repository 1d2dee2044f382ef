// OneBotHost: the HostApi over a OneBot v11 connection. Each CQ_* call is one
// action (send_group_msg, set_group_kick, ...) answered within the
// connection's time-out; a failed or unanswered call gives the failure result
// of the legacy call (-1, 0, empty text, kMemberListFailed) and is logged.
//
// The login account and nickname are remembered from the last good answer, so
// that a short disconnection does not make the robot forget who it is.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace bw::onebot {

class Connection;

// The web domain whose cookies the QQ group web services need.
inline constexpr const char* kCookieDomain = "qun.qq.com";

class OneBotHost : public HostApi {
 public:
  explicit OneBotHost(Connection& connection);

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

  Connection& connection() { return connection_; }

 private:
  bool refreshLogin();

  Connection& connection_;
  std::mutex mu_;
  int64_t loginQQ_ = 0;
  std::string loginNick_;
};

// OneBot's role text as the legacy permission number: owner 3, admin 2, else 1.
int32_t PermissionOfRole(const std::string& role);
// OneBot's sex text as the legacy number: male 0, female 1, anything else 255.
int32_t SexNumber(const std::string& sex);

}  // namespace bw::onebot
