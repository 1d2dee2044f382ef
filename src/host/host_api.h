// HostApi: the robot's binding to the host that logged the QQ account in.
// Implementations: the 32-bit plug-in binding to CQP.dll (src/host/cqp/), the
// OneBot v11 WebSocket client (src/onebot/), and RecordingHost (tests and
// replay). The core sees UTF-8 text only; adapters convert at their edge.
//
// A failed call is not retried; callers go on with the empty or zero result.
// Thread-safety: implementations must accept calls from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "util/log.h"

namespace bw {

// One member of a group as the host describes it.
struct GroupMember {
  int64_t group = 0;
  int64_t account = 0;
  std::string nickname;
  std::string card;
  int32_t sex = 0;
  int32_t age = 0;
  std::string area;
  int32_t joinTime = 0;       // host time stamp (Unix seconds)
  int32_t lastSpeakTime = 0;  // host time stamp (Unix seconds)
  std::string level;
  int32_t permission = 0;  // 1 member, 2 administrator, 3 owner
  bool unfriendly = false;
  std::string title;
  int32_t titleExpiry = 0;
  bool cardChangeable = false;

  bool operator==(const GroupMember&) const = default;
};

// Values of CQ_setGroupAddRequestV2.
inline constexpr int32_t kRequestGroupAdd = 1;
inline constexpr int32_t kRequestApprove = 1;
inline constexpr int32_t kRequestRefuse = 2;

// Result of CQ_getGroupMemberList on failure.
inline constexpr int32_t kMemberListFailed = -1000;

// How an acting call ended: true once the host carried it out, false when it
// refused the call or the call never got there (no answer, a link that stayed
// down). It runs exactly once: before the call returns for a host whose calls
// are synchronous, later and on another thread for one that posts them.
using ActOutcome = std::function<void(bool done)>;

// Lets a late outcome reach its owner only while the owner lives: the owner
// closes the gate first thing in its destructor (waiting for an outcome that
// runs at that moment); outcomes after that are dropped. Shared by the owner
// and its pending outcomes.
class OutcomeGate {
 public:
  template <typename Fn>
  void run(Fn&& fn) {
    std::lock_guard lock(mu_);
    if (open_) std::forward<Fn>(fn)();
  }
  void close() {
    std::lock_guard lock(mu_);
    open_ = false;
  }

 private:
  std::mutex mu_;
  bool open_ = true;
};

class HostApi {
 public:
  virtual ~HostApi() = default;

  // A kick and a mute whose outcome the rules wait for before they record the
  // act (a refused kick must not be counted as a departure). The default reads
  // the status of the synchronous legacy call: 0 is done.
  virtual void setGroupKickThen(int64_t group, int64_t account, bool refuseRejoin,
                                ActOutcome outcome) {
    Settle(CQ_setGroupKick(group, account, refuseRejoin), "the kick of", group, account, outcome);
  }
  virtual void setGroupBanThen(int64_t group, int64_t account, int64_t seconds,
                               ActOutcome outcome) {
    Settle(CQ_setGroupBan(group, account, seconds), "the mute of", group, account, outcome);
  }

  // Recalling a group message by the id its event carried. Hosts without a
  // recall call keep the defaults: canRecall() false, and recallMessage
  // answers -1 without doing anything (the panel marks recall unavailable).
  virtual bool canRecall() const { return false; }
  virtual int32_t recallMessage(int64_t messageId) {
    (void)messageId;
    return -1;
  }

  virtual void CQ_setFatal(const std::string& text) = 0;
  virtual int64_t CQ_getLoginQQ() = 0;
  virtual std::string CQ_getLoginNick() = 0;
  virtual std::string CQ_getCookies() = 0;
  virtual int32_t CQ_getCsrfToken() = 0;
  virtual int32_t CQ_sendGroupMsg(int64_t group, const std::string& text) = 0;
  virtual int32_t CQ_sendPrivateMsg(int64_t account, const std::string& text) = 0;
  virtual int32_t CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) = 0;
  virtual int32_t CQ_setGroupBan(int64_t group, int64_t account, int64_t seconds) = 0;
  virtual int32_t CQ_setGroupWholeBan(int64_t group, bool enable) = 0;
  virtual int32_t CQ_setGroupCard(int64_t group, int64_t account, const std::string& card) = 0;
  virtual int32_t CQ_setGroupAddRequestV2(const std::string& responseFlag, int32_t requestType,
                                          int32_t decision, const std::string& reason) = 0;
  // 0 with `members` replaced on success; kMemberListFailed with `members`
  // untouched on failure.
  virtual int32_t CQ_getGroupMemberList(int64_t group, std::vector<GroupMember>& members) = 0;

 protected:
  // The outcome of a synchronous call that returned `status` (0 is done).
  static void Settle(int32_t status, const char* what, int64_t group, int64_t account,
                     const ActOutcome& outcome) {
    if (status != 0) {
      LogWarning(std::string("host: ") + what + " " + std::to_string(account) + " in group " +
                 std::to_string(group) + " failed (status " + std::to_string(status) + ")");
    }
    if (outcome) outcome(status == 0);
  }
};

}  // namespace bw
