// CqpHost: HostApi over the legacy host's library (CQP.dll). Every function is
// bound by name; every call passes the AuthCode first; texts cross in GBK
// (converted from and to the core's UTF-8 here) and texts the host returns are
// copied at once. A function the library lacks answers with its failure
// result, and says so in the log once.
//
// The library is bound in the host's Initialize, never while the plug-in's
// library is being loaded: loading another library under the loader lock can
// deadlock the host.
//
// Thread-safety: calls from any thread; bind() and setAuthCode() before the
// first call.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dll/calling_convention.h"
#include "dll/host_library.h"
#include "host/host_api.h"

namespace bw::dll {

class CqpHost final : public HostApi {
 public:
  // Unbound: every call fails until bind().
  CqpHost() = default;
  // Binds the functions of `library` (may be null: every call fails). Once:
  // a second call keeps the first library.
  void bind(std::unique_ptr<HostLibrary> library);
  // The host is unloading the plug-in: from now on no call reaches it (each
  // answers its failure result), so that threads still running call nothing
  // of a host that no longer expects them. Logged once. Cannot be undone.
  void stopCalls();

  void setAuthCode(int32_t authCode) { authCode_.store(authCode); }
  int32_t authCode() const { return authCode_.load(); }
  bool bound() const { return bound_.load(); }

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
  // The host's signatures (AuthCode first).
  using SetFatal = int32_t(BW_STDCALL*)(int32_t, const char*);
  using GetInt64 = int64_t(BW_STDCALL*)(int32_t);
  using GetInt32 = int32_t(BW_STDCALL*)(int32_t);
  using GetText = const char*(BW_STDCALL*)(int32_t);
  using SendMsg = int32_t(BW_STDCALL*)(int32_t, int64_t, const char*);
  using Kick = int32_t(BW_STDCALL*)(int32_t, int64_t, int64_t, int32_t);
  using Ban = int32_t(BW_STDCALL*)(int32_t, int64_t, int64_t, int64_t);
  using WholeBan = int32_t(BW_STDCALL*)(int32_t, int64_t, int32_t);
  using Card = int32_t(BW_STDCALL*)(int32_t, int64_t, int64_t, const char*);
  using AddRequest = int32_t(BW_STDCALL*)(int32_t, const char*, int32_t, int32_t, const char*);
  using MemberList = const char*(BW_STDCALL*)(int32_t, int64_t);

  template <typename Fn>
  Fn symbol(const char* name);
  // True when `fn` is bound; else logs (once per function) and returns false.
  bool available(const void* fn, const char* name, std::atomic<bool>& reported);

  std::unique_ptr<HostLibrary> library_;
  std::atomic<bool> bound_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<bool> stopReported_{false};
  std::atomic<int32_t> authCode_{0};

  SetFatal setFatal_ = nullptr;
  GetInt64 getLoginQQ_ = nullptr;
  GetText getLoginNick_ = nullptr;
  GetText getCookies_ = nullptr;
  GetInt32 getCsrfToken_ = nullptr;
  SendMsg sendGroupMsg_ = nullptr;
  SendMsg sendPrivateMsg_ = nullptr;
  Kick setGroupKick_ = nullptr;
  Ban setGroupBan_ = nullptr;
  WholeBan setGroupWholeBan_ = nullptr;
  Card setGroupCard_ = nullptr;
  AddRequest setGroupAddRequestV2_ = nullptr;
  MemberList getGroupMemberList_ = nullptr;

  static constexpr int kFunctions = 13;
  std::atomic<bool> reported_[kFunctions] = {};
};

}  // namespace bw::dll
