#include "core/lifecycle.h"

#include <exception>
#include <utility>

#include "events/delay.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

// Entry points must never let an exception reach the host.
template <typename Fn>
int32_t Guarded(const char* entry, Fn&& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    LogError(std::string(entry) + ": " + e.what());
  } catch (...) {
    LogError(std::string(entry) + ": unknown failure");
  }
  return 0;
}

}  // namespace

Lifecycle::Lifecycle(HostApi& host, Clock& clock, QqServices& qq, std::string runDirectory,
                     QueueMode mode, LifecycleHooks hooks)
    : host_(host),
      clock_(clock),
      qq_(qq),
      runDirectory_(std::move(runDirectory)),
      mode_(mode),
      hooks_(std::move(hooks)),
      // No copy into the run-log list view: the panel reads the run log itself,
      // and 10,000 rows of copies, each removed from the front of the view,
      // cost a shift of every row per entry and ~9 MB that a burst of kicks
      // left resident.
      runLog_(clock, nullptr),
      groupLog_(clock, ""),
      intake_(managedGroups_, dispatchingHandlers(), mode, &eventBudget_) {
  identity_.setDirectories(runDirectory_, "");
}

Lifecycle::~Lifecycle() { shutdown(); }

void Lifecycle::setHooks(LifecycleHooks hooks) { hooks_ = std::move(hooks); }

EventHandlers Lifecycle::dispatchingHandlers() {
  // Looked up at handling time so that setHooks() may come after construction.
  EventHandlers h;
  h.groupMessage = [this](const GroupMessageRecord& r) {
    if (hooks_.handlers.groupMessage) hooks_.handlers.groupMessage(r);
  };
  h.joinRequest = [this](const JoinRequestRecord& r) {
    if (hooks_.handlers.joinRequest) hooks_.handlers.joinRequest(r);
  };
  h.memberIncrease = [this](const MemberChangeRecord& r) {
    if (hooks_.handlers.memberIncrease) hooks_.handlers.memberIncrease(r);
  };
  h.memberDecrease = [this](const MemberChangeRecord& r) {
    if (hooks_.handlers.memberDecrease) hooks_.handlers.memberDecrease(r);
  };
  h.privateMessage = [this](const PrivateMessageRecord& r) {
    if (hooks_.handlers.privateMessage) hooks_.handlers.privateMessage(r);
  };
  return h;
}

std::string Lifecycle::AppInfo() { return "9,com.brindle.warden"; }

int32_t Lifecycle::Initialize(int32_t authCode) {
  return Guarded("Initialize", [&] {
    authCode_.store(authCode);
    if (hooks_.installErrorReporter) {
      hooks_.installErrorReporter(
          *this, [this](const std::string& text, int number) { reportRuntimeError(text, number); });
    }
  });
}

void Lifecycle::reportRuntimeError(const std::string& text, int number) {
  host_.CQ_setFatal(text + " (ERROR" + std::to_string(number) + ")");
}

void Lifecycle::prepareDataDirectory() {
  const std::string account = std::to_string(host_.CQ_getLoginQQ());
  const std::string data = runDirectory_ + "/data/" + account + "/";
  const std::string logs = data + "群数据/";
  // Creating the log directory creates the data directory with it.
  if (!EnsureDirectory(logs)) LogWarning("cannot create the data directory " + logs);
  identity_.setDirectories(runDirectory_, data);
  groupLog_.setDirectory(logs);
}

int32_t Lifecycle::_eventStartup() {
  return Guarded("_eventStartup", [&] { prepareDataDirectory(); });
}

int32_t Lifecycle::_eventEnable() {
  return Guarded("_eventEnable", [&] {
    // Cookies first, then the token: as arguments of one call their order would
    // be the compiler's choice.
    std::string cookies = host_.CQ_getCookies();
    std::string csrfToken = std::to_string(host_.CQ_getCsrfToken());
    setWebTokens(std::move(cookies), std::move(csrfToken));
    if (hooks_.webTokens) hooks_.webTokens(*this);
    prepareDataDirectory();
    identity_.setLoginAccount(std::to_string(host_.CQ_getLoginQQ()));
    if (hooks_.updateCheck) hooks_.updateCheck(*this);

    // The host enables a plug-in again after a disable; the window and the
    // startup sequence exist once per process.
    std::unique_lock lock(windowMu_);
    if (windowStarted_ || stop_.stop_requested()) return;
    windowStarted_ = true;
    if (mode_ == QueueMode::kSynchronous) {
      lock.unlock();
      if (hooks_.startup) hooks_.startup(*this);
      return;
    }
    windowThread_ = std::thread([this] {
      Guarded("window thread", [&] {
        if (hooks_.startup) hooks_.startup(*this);
      });
      // The window thread lives on to serve the window until shutdown.
      delay(clock_, std::nullopt, std::nullopt, stop_.get_token());
    });
  });
}

int32_t Lifecycle::_eventDisable() { return 0; }

int32_t Lifecycle::_eventExit() {
  return Guarded("_eventExit", [&] {
    if (!running()) return;
    db_.Disconnect();
    if (hooks_.exit) hooks_.exit(*this);
  });
}

int32_t Lifecycle::_menuA() {
  return Guarded("_menuA", [&] {
    if (running() && hooks_.menuA) hooks_.menuA(*this);
  });
}

int32_t Lifecycle::_menuB() {
  return Guarded("_menuB", [&] { information("这是menuB，在这里载入窗口，或者进行其他工作。"); });
}

void Lifecycle::information(const std::string& text) {
  if (hooks_.information) {
    hooks_.information(text);
  } else {
    LogInfo(text);
  }
}

int32_t Lifecycle::_eventPrivateMsg(int32_t /*subType*/, int32_t msgId, int64_t fromQQ,
                                    const char* msg, int32_t font) {
  return Guarded("_eventPrivateMsg", [&] {
    if (!running()) return;
    intake_.onPrivateMessage({fromQQ, Text(msg), static_cast<int64_t>(msgId), font});
  });
}

int32_t Lifecycle::_eventGroupMsg(int32_t /*subType*/, int32_t msgId, int64_t fromGroup,
                                  int64_t fromQQ, const char* /*fromAnonymous*/, const char* msg,
                                  int32_t font) {
  // The anonymous-sender record is not kept: the sender is the number the
  // host gave (80000000 for anonymous messages).
  return Guarded("_eventGroupMsg", [&] {
    if (!running()) return;
    intake_.onGroupMessage({msgId, fromGroup, fromQQ, Text(msg), font});
  });
}

int32_t Lifecycle::_eventDiscussMsg(int32_t, int32_t, int64_t, int64_t, const char*, int32_t) {
  return 0;
}

int32_t Lifecycle::_eventGroupUpload(int32_t, int32_t, int64_t, int64_t, const char*) { return 0; }

int32_t Lifecycle::_eventSystem_GroupAdmin(int32_t, int32_t, int64_t, int64_t) { return 0; }

int32_t Lifecycle::_eventSystem_GroupMemberDecrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ) {
  return Guarded("_eventSystem_GroupMemberDecrease", [&] {
    intake_.onMemberDecrease({subType, sendTime, fromGroup, fromQQ, beingOperateQQ});
  });
}

int32_t Lifecycle::_eventSystem_GroupMemberIncrease(int32_t subType, int32_t sendTime,
                                                    int64_t fromGroup, int64_t fromQQ,
                                                    int64_t beingOperateQQ) {
  return Guarded("_eventSystem_GroupMemberIncrease", [&] {
    intake_.onMemberIncrease({subType, sendTime, fromGroup, fromQQ, beingOperateQQ});
  });
}

int32_t Lifecycle::_eventFriend_Add(int32_t, int32_t, int64_t) { return 0; }

int32_t Lifecycle::_eventRequest_AddFriend(int32_t, int32_t, int64_t, const char*, const char*) {
  return 0;
}

int32_t Lifecycle::_eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                          int64_t fromQQ, const char* msg,
                                          const char* responseFlag) {
  return Guarded("_eventRequest_AddGroup", [&] {
    if (!running()) return;
    JoinRequestRecord record{subType, sendTime, fromGroup, fromQQ, Text(msg), Text(responseFlag)};
    if (Contains(record.msg, "邀请人")) {
      const std::string inviter = TextBetween(record.msg, "qq=", "]");
      if (IsAccountNumber(inviter)) {
        record.inviter = TextToInt(inviter);
      } else if (!inviter.empty()) {
        LogWarning("join request: inviter \"" + inviter + "\" is no account number; ignored");
      }
    }
    intake_.onJoinRequest(std::move(record));
  });
}

int32_t Lifecycle::joinRequest(JoinRequestRecord record) {
  return Guarded("joinRequest", [&] {
    if (!running()) return;
    intake_.onJoinRequest(std::move(record));
  });
}

void Lifecycle::setRunning() { intake_.setRunning(true); }

size_t Lifecycle::closeEvents() { return intake_.close(); }

void Lifecycle::shutdown() {
  stop_.request_stop();
  intake_.stop();
  std::thread window;
  {
    std::lock_guard lock(windowMu_);
    window = std::move(windowThread_);
  }
  if (window.joinable() && window.get_id() != std::this_thread::get_id()) window.join();
  if (window.joinable()) window.detach();  // shut down from the window thread itself
}

std::string Lifecycle::cookies() const {
  std::lock_guard lock(tokensMu_);
  return cookies_;
}

std::string Lifecycle::csrfToken() const {
  std::lock_guard lock(tokensMu_);
  return csrfToken_;
}

void Lifecycle::setWebTokens(std::string cookies, std::string csrfToken) {
  std::lock_guard lock(tokensMu_);
  cookies_ = std::move(cookies);
  csrfToken_ = std::move(csrfToken);
}

}  // namespace bw
