// Lifecycle: the robot as a host sees it, whichever host it is (the legacy
// host's plug-in DLL, the OneBot service, replay) — the process-wide state the
// host's lifecycle builds (AuthCode, login account, cookies and CSRF token, the data
// directory, the running flag) and the logic of every entry point the host
// calls. The 32-bit DLL exports and the OneBot service call exactly these
// functions; they convert text to UTF-8 before calling (a null text is empty).
//
// Work that belongs to other modules (update check, web tokens, the startup
// sequence and settings window, menu A, the event handlers, the runtime-error
// reporter) comes in through LifecycleHooks; the composition of all modules fills
// them.
//
// Thread-safety: every entry point may be called from any host thread, and the
// event entry points never wait for a handler. setHooks() must be called before
// _eventEnable() and not concurrently with any entry point.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "events/event_budget.h"
#include "events/event_intake.h"
#include "events/event_queue.h"
#include "events/managed_groups.h"
#include "events/records.h"
#include "host/host_api.h"
#include "host/identity.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "util/clock.h"
#include "web/qq_services.h"

namespace bw {

class Lifecycle;

// Reports an internal runtime error to the host: CQ_setFatal(text + " (ERROR" + n + ")").
using RuntimeErrorReporter = std::function<void(const std::string& text, int number)>;

struct LifecycleHooks {
  // Initialize: receives the reporter that feeds CQ_setFatal, to install it
  // wherever runtime errors are caught.
  std::function<void(Lifecycle&, RuntimeErrorReporter)> installErrorReporter;
  // _eventEnable, after the cookies and CSRF token were taken from the host.
  std::function<void(Lifecycle&)> webTokens;
  // _eventEnable: the update check (and install; may end the process).
  std::function<void(Lifecycle&)> updateCheck;
  // _eventEnable: creates the settings window and runs the startup sequence,
  // which calls Lifecycle::setRunning() once the window exists. Runs on the window
  // thread (threaded mode) or on the enabling thread (synchronous mode).
  std::function<void(Lifecycle&)> startup;
  // _menuA while running: shows the settings window.
  std::function<void(Lifecycle&)> menuA;
  // _eventExit while running, after the database was closed: destroys the window.
  std::function<void(Lifecycle&)> exit;
  // An information box (menu B, update notices). Unset: the text is logged.
  std::function<void(const std::string& text)> information;
  // The five handled event kinds (group messages and join requests only of
  // managed groups). Unset handlers drop their records.
  EventHandlers handlers;
};

class Lifecycle {
 public:
  // `runDirectory` is the host's run directory, without a trailing separator.
  Lifecycle(HostApi& host, Clock& clock, QqServices& qq, std::string runDirectory,
            QueueMode mode = QueueMode::kThreaded, LifecycleHooks hooks = {});
  ~Lifecycle();  // shutdown()
  Lifecycle(const Lifecycle&) = delete;
  Lifecycle& operator=(const Lifecycle&) = delete;

  void setHooks(LifecycleHooks hooks);

  // --- lifecycle and menu entry points; each returns 0 except AppInfo ---
  static std::string AppInfo();  // "9,com.brindle.warden"
  int32_t Initialize(int32_t authCode);
  int32_t _eventStartup();
  int32_t _eventEnable();
  int32_t _eventDisable();
  int32_t _eventExit();
  int32_t _menuA();
  int32_t _menuB();

  // --- event entry points, with the host's arguments; each returns 0 ---
  int32_t _eventPrivateMsg(int32_t subType, int32_t msgId, int64_t fromQQ, const char* msg,
                           int32_t font);
  int32_t _eventGroupMsg(int32_t subType, int32_t msgId, int64_t fromGroup, int64_t fromQQ,
                         const char* fromAnonymous, const char* msg, int32_t font);
  int32_t _eventDiscussMsg(int32_t subType, int32_t msgId, int64_t fromDiscuss, int64_t fromQQ,
                           const char* msg, int32_t font);
  int32_t _eventGroupUpload(int32_t subType, int32_t sendTime, int64_t fromGroup, int64_t fromQQ,
                            const char* file);
  int32_t _eventSystem_GroupAdmin(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                  int64_t beingOperateQQ);
  int32_t _eventSystem_GroupMemberDecrease(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                           int64_t fromQQ, int64_t beingOperateQQ);
  int32_t _eventSystem_GroupMemberIncrease(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                           int64_t fromQQ, int64_t beingOperateQQ);
  int32_t _eventFriend_Add(int32_t subType, int32_t sendTime, int64_t fromQQ);
  int32_t _eventRequest_AddFriend(int32_t subType, int32_t sendTime, int64_t fromQQ,
                                  const char* msg, const char* responseFlag);
  // The legacy host names an inviter only inside the request text ("邀请人" and
  // then "qq=<account>]"); that is parsed here and nowhere else.
  int32_t _eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                 int64_t fromQQ, const char* msg, const char* responseFlag);
  // A join request that arrives already built (OneBot, replay): its inviter is
  // taken as given and its text is never read for numbers. Returns 0.
  int32_t joinRequest(JoinRequestRecord record);

  // The running flag: set once the settings window exists (by the startup
  // hook); while clear, events are not queued, _eventExit and _menuA do nothing.
  void setRunning();
  bool running() const { return intake_.running(); }

  // Clean shutdown for a service: stops the event workers (the running handler
  // finishes, queued records are discarded), ends the window thread's wait and
  // refuses later events. Idempotent.
  void shutdown();
  // The first step of a stop, before the host's link goes: refuses later
  // events and discards the queued ones (logged, with their counts per kind),
  // without waiting for the handlers still running. Returns how many.
  size_t closeEvents();
  // Blocks until every event queue is empty and idle (tests, replay).
  void waitIdle() { intake_.waitIdle(); }
  // The bytes of the events received and not yet handled, against their bound:
  // a host that can wait asks it before it takes in more (the OneBot service).
  EventBudget& eventBudget() { return eventBudget_; }

  // Shows an information box through the hook (logged when there is none).
  void information(const std::string& text);

  // CQ_setFatal with the error text, " (ERROR", the number and ")".
  void reportRuntimeError(const std::string& text, int number);

  // --- process-wide state ---
  int32_t authCode() const { return authCode_.load(); }
  std::string loginAccount() const { return identity_.loginAccount(); }
  std::string cookies() const;
  std::string csrfToken() const;
  void setWebTokens(std::string cookies, std::string csrfToken);
  const std::string& runDirectory() const { return runDirectory_; }
  std::string dataDirectory() const { return identity_.dataDirectory(); }  // "" before startup

  HostApi& host() { return host_; }
  Clock& clock() { return clock_; }
  QqServices& qq() { return qq_; }
  Settings& settings() { return settings_; }
  ListViews& lists() { return lists_; }
  RunLog& runLog() { return runLog_; }
  GroupLog& groupLog() { return groupLog_; }
  Database& database() { return db_; }
  ManagedGroups& managedGroups() { return managedGroups_; }
  Identity& identity() { return identity_; }
  std::stop_token stopToken() const { return stop_.get_token(); }

 private:
  // DataDirectory from the login account; creates it and its "群数据/".
  void prepareDataDirectory();
  EventHandlers dispatchingHandlers();

  HostApi& host_;
  Clock& clock_;
  QqServices& qq_;
  const std::string runDirectory_;
  const QueueMode mode_;
  LifecycleHooks hooks_;

  std::stop_source stop_;
  Settings settings_;
  ListViews lists_;
  RunLog runLog_;
  GroupLog groupLog_;
  Database db_;
  ManagedGroups managedGroups_;
  Identity identity_;
  EventBudget eventBudget_;
  EventIntake intake_;

  std::atomic<int32_t> authCode_{0};
  mutable std::mutex tokensMu_;
  std::string cookies_;
  std::string csrfToken_;

  std::mutex windowMu_;
  std::thread windowThread_;
  bool windowStarted_ = false;
};

}  // namespace bw
