// Plugin: the process-wide objects of the 32-bit plug-in and the logic of every
// export. The exports (exports.cpp) only forward here; this layer turns the
// host's GBK text into the core's UTF-8 (a null text is empty) and back, keeps
// one retained result buffer per text-returning export, and reports internal
// errors to the host through CQ_setFatal.
//
// One Plugin exists per load of the library. Nothing of it runs under the
// loader lock: on Windows the exports create it at the first call
// (EnsurePlugin), DllMain only records the module; Initialize binds the host's
// library and writes the host status key. The native tests call LoadPlugin
// themselves. A second Initialize means the host loaded the library again
// without _eventExit: the old instance stops and a fresh one starts
// (RestartIfInitialized).
//
// The settings window is the panel (ui::PanelServer), served on 127.0.0.1 once
// the startup sequence has run; _menuA opens its login link in the default
// browser. _eventExit stops the panel and joins every thread of the plug-in.
//
// Thread-safety: the exports may be called from any host thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "dll/cqp_host.h"
#include "logs/statistics.h"
#include "ui/panel_auth.h"
#include "ui/panel_server.h"
#include "update/updater.h"
#include "util/clock.h"
#include "web/qq_services.h"
#include "web/web_client.h"
#include "web/web_qq_services.h"
#include "web/web_tokens.h"

namespace bw::dll {

struct PluginOptions {
  // The host process's run directory (UTF-8, no trailing separator).
  std::string runDirectory;
  // The host's function library: "CQP.dll" on Windows.
  std::string hostLibrary;
  // Null: the machine's clock.
  Clock* clock = nullptr;
  // Null: the QQ web services with the account's cookies, at `webServices`.
  QqServices* qq = nullptr;
  // Where the QQ web services are; the defaults are QQ's own (tests point
  // them at a loopback stub).
  WebServiceUrls webServices;
  // Information boxes (menu B, the update's notices); null: the platform's
  // message box (the log elsewhere). Returns once the box was closed.
  std::function<void(const std::string& text)> information;
  // The update server (scheme, host and directory, ending in "/"); empty: no
  // update check. Trusted authorities for the package download; empty: the system's.
  std::string updateBaseUrl;
  std::string updateCaFile;
  // Ends the host process after an installed update; null: the platform's way
  // (TerminateProcess with exit code 0 on Windows).
  std::function<void()> terminateHost;
  // Where the settings panel listens on 127.0.0.1; when the port is taken (or
  // 0), any free port.
  int panelPort = 8077;
  // Opens the panel's login link; null: the default browser (ShellExecuteW).
  std::function<void(const std::string& url)> openBrowser;
};

// The text a text-returning export hands out: kept until the next call of the
// same export, which releases it.
class RetainedText {
 public:
  const char* keep(std::string text);

 private:
  std::mutex mu_;
  std::unique_ptr<std::string> text_;
};

class Plugin {
 public:
  explicit Plugin(PluginOptions options);
  ~Plugin();
  Plugin(const Plugin&) = delete;
  Plugin& operator=(const Plugin&) = delete;

  // --- the exports, with the host's arguments (texts in GBK) ---
  const char* AppInfo();
  int32_t Initialize(int32_t authCode);
  int32_t _eventStartup();
  int32_t _eventEnable();
  int32_t _eventDisable();
  int32_t _eventExit();
  int32_t _menuA();
  int32_t _menuB();
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
  int32_t _eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                 int64_t fromQQ, const char* msg, const char* responseFlag);
  // The service exports: 计算G_tk, 取_QQ昵称, 取_QQ头像, 刷新群管数据, 资料_发布作业.
  const char* ComputeGtk(const char* cookieValue);
  const char* FetchNickname(const char* account);
  const char* FetchOwnAvatar();
  int32_t RefreshGroupData();
  int32_t PublishHomework(const char* group, const char* courseName, const char* content,
                          int32_t remind, const char* syncGroups);

  // Initialize has run on this instance.
  bool initialized() const { return initialized_.load(); }
  // _eventExit has run on this instance.
  bool ended() const { return ended_.load(); }
  const PluginOptions& options() const { return options_; }
  CqpHost& host() { return host_; }
  Lifecycle& lifecycle() { return lifecycle_; }
  RobotCore& robot() { return robot_; }
  // The host's configuration file, where the plug-in's status entry lives.
  std::string hostConfigFile() const;
  // The settings panel's address ("http://127.0.0.1:<port>/"), "" while it
  // does not serve.
  std::string panelUrl();

 private:
  void writeStatusKey();
  void startPanel();
  void stopPanel();
  void openPanel();
  // Runs an export's work; an exception becomes a CQ_setFatal report.
  template <typename Fn>
  int32_t guarded(const char* entry, Fn&& fn);
  void information(const std::string& text);
  void terminateHost();
  // `handler` with its failures reported like an export's.
  template <typename Record>
  std::function<void(const Record&)> reporting(const char* what,
                                               std::function<void(const Record&)> handler);

  PluginOptions options_;
  RealClock realClock_;
  CqpHost host_;
  WebClient web_;
  WebTokens tokens_;
  WebQqServices webQq_;
  Lifecycle lifecycle_;
  RobotCore robot_;
  DailyStatistics statistics_;
  Updater updater_;
  RuntimeErrorReporter reporter_;
  std::mutex reporterMu_;

  RetainedText appInfo_, gtk_, nickname_, avatar_;

  // After robot_: the panel serves its settings. A new login token per load,
  // handed only to the browser that _menuA opens.
  ui::ConnectionStatus panelStatus_;
  ui::PanelAuth panelAuth_;
  std::mutex panelMu_;
  std::unique_ptr<ui::PanelServer> panel_;
  bool exited_ = false;  // under panelMu_: no panel after _eventExit
  std::atomic<bool> initialized_{false};
  std::atomic<bool> ended_{false};
};

// Creates the process-wide objects. A second call replaces the first plug-in (tests).
void LoadPlugin(PluginOptions options);
// The loaded plug-in, created with `options()` when there is none yet.
Plugin* EnsurePlugin(const std::function<PluginOptions()>& options);
// Before Initialize: when the loaded plug-in was initialized already, the host
// has loaded the library again without _eventExit. That is logged, the old
// instance calls the host no more and is shut down (its threads joined), and a
// fresh one with the same options takes its place. True when that happened.
// Called from an export, never under the loader lock.
bool RestartIfInitialized();
// Destroys the process-wide objects.
void UnloadPlugin();
// The library is being unloaded (a FreeLibrary): logged when the plug-in still
// ran (no _eventExit); no host call is made any more, then the objects go.
// The next load starts from nothing.
void UnloadPluginForLibraryUnload();
// The loaded plug-in; null before LoadPlugin or after UnloadPlugin.
Plugin* CurrentPlugin();

}  // namespace bw::dll
