#include "dll/cqp_host.h"

#include <utility>

#include "host/host_records.h"
#include "util/charset.h"
#include "util/log.h"

namespace bw::dll {
namespace {

// The host owns what it returns: copy it before anything else runs.
std::string Copied(const char* text) { return text ? std::string(text) : std::string(); }

}  // namespace

void CqpHost::bind(std::unique_ptr<HostLibrary> library) {
  if (library_ || !library) return;
  library_ = std::move(library);
  setFatal_ = symbol<SetFatal>("CQ_setFatal");
  getLoginQQ_ = symbol<GetInt64>("CQ_getLoginQQ");
  getLoginNick_ = symbol<GetText>("CQ_getLoginNick");
  getCookies_ = symbol<GetText>("CQ_getCookies");
  getCsrfToken_ = symbol<GetInt32>("CQ_getCsrfToken");
  sendGroupMsg_ = symbol<SendMsg>("CQ_sendGroupMsg");
  sendPrivateMsg_ = symbol<SendMsg>("CQ_sendPrivateMsg");
  setGroupKick_ = symbol<Kick>("CQ_setGroupKick");
  setGroupBan_ = symbol<Ban>("CQ_setGroupBan");
  setGroupWholeBan_ = symbol<WholeBan>("CQ_setGroupWholeBan");
  setGroupCard_ = symbol<Card>("CQ_setGroupCard");
  setGroupAddRequestV2_ = symbol<AddRequest>("CQ_setGroupAddRequestV2");
  getGroupMemberList_ = symbol<MemberList>("CQ_getGroupMemberList");
  bound_.store(true);
}

void CqpHost::stopCalls() { stopped_.store(true); }

template <typename Fn>
Fn CqpHost::symbol(const char* name) {
  return reinterpret_cast<Fn>(library_->symbol(name));
}

bool CqpHost::available(const void* fn, const char* name, std::atomic<bool>& reported) {
  if (stopped_.load()) {
    if (!stopReported_.exchange(true)) {
      LogWarning(std::string("the host is unloading the plug-in: ") + name +
                 " and every later host call are skipped");
    }
    return false;
  }
  const bool bound = bound_.load();
  if (bound && fn) return true;
  if (!reported.exchange(true)) {
    LogError(bound ? std::string("the host library offers no ") + name + "; the call is skipped"
                   : std::string("no host library is bound (before Initialize, or it could not "
                                 "be loaded); ") +
                         name + " is skipped");
  }
  return false;
}

void CqpHost::CQ_setFatal(const std::string& text) {
  if (!available(reinterpret_cast<const void*>(setFatal_), "CQ_setFatal", reported_[0])) return;
  setFatal_(authCode(), Utf8ToGbk(text).c_str());
}

int64_t CqpHost::CQ_getLoginQQ() {
  if (!available(reinterpret_cast<const void*>(getLoginQQ_), "CQ_getLoginQQ", reported_[1]))
    return 0;
  return getLoginQQ_(authCode());
}

std::string CqpHost::CQ_getLoginNick() {
  if (!available(reinterpret_cast<const void*>(getLoginNick_), "CQ_getLoginNick", reported_[2]))
    return {};
  return GbkToUtf8(Copied(getLoginNick_(authCode())));
}

std::string CqpHost::CQ_getCookies() {
  if (!available(reinterpret_cast<const void*>(getCookies_), "CQ_getCookies", reported_[3]))
    return {};
  return GbkToUtf8(Copied(getCookies_(authCode())));
}

int32_t CqpHost::CQ_getCsrfToken() {
  if (!available(reinterpret_cast<const void*>(getCsrfToken_), "CQ_getCsrfToken", reported_[4]))
    return 0;
  return getCsrfToken_(authCode());
}

int32_t CqpHost::CQ_sendGroupMsg(int64_t group, const std::string& text) {
  if (!available(reinterpret_cast<const void*>(sendGroupMsg_), "CQ_sendGroupMsg", reported_[5]))
    return -1;
  return sendGroupMsg_(authCode(), group, Utf8ToGbk(text).c_str());
}

int32_t CqpHost::CQ_sendPrivateMsg(int64_t account, const std::string& text) {
  if (!available(reinterpret_cast<const void*>(sendPrivateMsg_), "CQ_sendPrivateMsg", reported_[6]))
    return -1;
  return sendPrivateMsg_(authCode(), account, Utf8ToGbk(text).c_str());
}

int32_t CqpHost::CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) {
  if (!available(reinterpret_cast<const void*>(setGroupKick_), "CQ_setGroupKick", reported_[7]))
    return -1;
  return setGroupKick_(authCode(), group, account, refuseRejoin ? 1 : 0);
}

int32_t CqpHost::CQ_setGroupBan(int64_t group, int64_t account, int64_t seconds) {
  if (!available(reinterpret_cast<const void*>(setGroupBan_), "CQ_setGroupBan", reported_[8]))
    return -1;
  return setGroupBan_(authCode(), group, account, seconds);
}

int32_t CqpHost::CQ_setGroupWholeBan(int64_t group, bool enable) {
  if (!available(reinterpret_cast<const void*>(setGroupWholeBan_), "CQ_setGroupWholeBan",
                 reported_[9]))
    return -1;
  return setGroupWholeBan_(authCode(), group, enable ? 1 : 0);
}

int32_t CqpHost::CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) {
  if (!available(reinterpret_cast<const void*>(setGroupCard_), "CQ_setGroupCard", reported_[10]))
    return -1;
  return setGroupCard_(authCode(), group, account, Utf8ToGbk(card).c_str());
}

int32_t CqpHost::CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                         int32_t decision, const std::string& reason) {
  if (!available(reinterpret_cast<const void*>(setGroupAddRequestV2_), "CQ_setGroupAddRequestV2",
                 reported_[11]))
    return -1;
  return setGroupAddRequestV2_(authCode(), Utf8ToGbk(responseFlag).c_str(), requestType, decision,
                               Utf8ToGbk(reason).c_str());
}

int32_t CqpHost::CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) {
  if (!available(reinterpret_cast<const void*>(getGroupMemberList_), "CQ_getGroupMemberList",
                 reported_[12]))
    return kMemberListFailed;
  const std::string encoded = Copied(getGroupMemberList_(authCode(), group));
  if (encoded.empty()) return kMemberListFailed;
  return DecodeMemberList(encoded, members) ? 0 : kMemberListFailed;
}

}  // namespace bw::dll
