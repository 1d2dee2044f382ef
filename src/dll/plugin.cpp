#include "dll/plugin.h"

#include <exception>
#include <system_error>
#include <thread>
#include <utility>

#include "dll/message_box.h"
#include "storage/ini_file.h"
#include "storage/schema.h"
#include "util/charset.h"
#include "util/log.h"

namespace bw::dll {
namespace {

// Host text: GBK, a null pointer is the empty text. Copied at once.
std::string FromHost(const char* gbk) { return gbk ? GbkToUtf8(gbk) : std::string(); }

// The update's boxes and the end of the host, as the plug-in shows them.
class PluginUpdateUi final : public UpdateUi {
 public:
  PluginUpdateUi(std::function<void(const std::string&)> show, std::function<void()> terminate)
      : show_(std::move(show)), terminate_(std::move(terminate)) {}
  void showInformation(const std::string& text, bool wait) override {
    if (wait) {
      show_(text);
    } else {
      // Its own thread, so that the box does not hold up the download.
      std::thread([show = show_, text] { show(text); }).detach();
    }
  }
  // The caption line belongs to the settings window.
  void setCaption(const std::string& text) override { LogInfo(text); }
  void terminateHost() override { terminate_(); }

 private:
  std::function<void(const std::string&)> show_;
  std::function<void()> terminate_;
};

UpdateConfig UpdateConfigOf(const PluginOptions& options) {
  UpdateConfig config;
  config.baseUrl = options.updateBaseUrl;
  config.caFile = options.updateCaFile;
  config.installs = true;  // the host loads the package file
  return config;
}

// The plug-in's database: Access where its driver is (or its file was), else
// SQLite through the SQLite3 ODBC driver.
CoreOptions CoreOptionsOf(Lifecycle& lifecycle) {
  CoreOptions options;
  options.historyTimer = true;
  options.connectDatabase = [&lifecycle](Database& db) {
    return DeployAndConnectPluginDatabase(db, lifecycle.dataDirectory());
  };
  return options;
}

std::mutex gPluginMu;
// Owned, but never destroyed by the static destructors: at process exit the
// plug-in's threads are already gone (ended by the system, holding whatever
// they held), and a destructor joining them would hang or crash the exiting
// host. Only UnloadPlugin (a FreeLibrary, or the tests) deletes it.
Plugin* gPlugin = nullptr;

}  // namespace

const char* RetainedText::keep(std::string text) {
  auto fresh = std::make_unique<std::string>(std::move(text));
  std::lock_guard lock(mu_);
  text_ = std::move(fresh);  // releases the previous call's text
  return text_->c_str();
}

Plugin::Plugin(PluginOptions options)
    : options_(std::move(options)),
      webQq_(web_, tokens_, options_.webServices),
      lifecycle_(host_, options_.clock ? *options_.clock : realClock_,
                 options_.qq ? *options_.qq : static_cast<QqServices&>(webQq_),
                 options_.runDirectory),
      robot_(lifecycle_, CoreOptionsOf(lifecycle_)),
      statistics_(lifecycle_.clock(), lifecycle_.settings(), lifecycle_.lists(),
                  lifecycle_.groupLog()),
      updater_(lifecycle_.clock(), host_, lifecycle_.runLog(), web_, UpdateConfigOf(options_),
               options_.runDirectory),
      panelStatus_(lifecycle_.clock()),
      panelAuth_(lifecycle_.clock()) {
  panelAuth_.setToken(ui::RandomToken());
  LifecycleHooks hooks = robot_.hooks();
  hooks.installErrorReporter = [this](Lifecycle&, RuntimeErrorReporter reporter) {
    std::lock_guard lock(reporterMu_);
    reporter_ = std::move(reporter);
  };
  hooks.webTokens = [this](Lifecycle& l) {
    tokens_.setLoginCookies(l.cookies());
    tokens_.setBkn(l.csrfToken());
  };
  hooks.information = [this](const std::string& text) { information(text); };
  hooks.updateCheck = [this](Lifecycle&) {
    // The box thread may outlive this call: it holds its own copy of the box.
    std::function<void(const std::string&)> show = options_.information;
    if (!show) show = ShowInformationBox;
    PluginUpdateUi ui(std::move(show), [this] { terminateHost(); });
    updater_.checkAndInstallAtEnable(ui);
  };
  // What fails on the window thread or on a worker is reported to the host too,
  // not only where an export was entered.
  hooks.startup = [this, startup = std::move(hooks.startup)](Lifecycle& l) {
    guarded("startup", [&] {
      startup(l);
      startPanel();
      return 0;
    });
  };
  hooks.menuA = [this](Lifecycle&) { openPanel(); };
  EventHandlers& h = hooks.handlers;
  h.groupMessage = reporting("group message", std::move(h.groupMessage));
  h.privateMessage = reporting("private message", std::move(h.privateMessage));
  h.joinRequest = reporting("join request", std::move(h.joinRequest));
  h.memberIncrease = reporting("member increase", std::move(h.memberIncrease));
  h.memberDecrease = reporting("member decrease", std::move(h.memberDecrease));
  lifecycle_.setHooks(std::move(hooks));
}

Plugin::~Plugin() {
  stopPanel();
  robot_.shutdown();
}

void Plugin::startPanel() {
  std::lock_guard lock(panelMu_);
  if (panel_ || exited_) return;
  panelStatus_.setAccount(lifecycle_.loginAccount(), host_.CQ_getLoginNick());
  panelStatus_.set(ui::ConnectionStatus::State::kConnected);
  ui::PanelOptions options;
  options.port = options_.panelPort;
  auto panel = std::make_unique<ui::PanelServer>(robot_, panelStatus_, panelAuth_, options);
  if (!panel->start() && options.port != 0) {
    // Another program (or a second host) holds the port: any free one will do,
    // the browser is always sent to the actual address.
    options.port = 0;
    panel = std::make_unique<ui::PanelServer>(robot_, panelStatus_, panelAuth_, options);
    if (!panel->start()) return;
  }
  LogInfo("settings panel: " + panel->baseUrl());
  panel_ = std::move(panel);
}

void Plugin::stopPanel() {
  std::unique_ptr<ui::PanelServer> panel;
  {
    std::lock_guard lock(panelMu_);
    exited_ = true;
    panel = std::move(panel_);
  }
  if (panel) panel->stop();
}

void Plugin::openPanel() {
  std::string url;
  {
    std::lock_guard lock(panelMu_);
    if (!panel_) {
      LogWarning("the settings panel does not serve (see the log above)");
      return;
    }
    url = panel_->loginUrl();
  }
  if (options_.openBrowser) {
    options_.openBrowser(url);
  } else {
    OpenInBrowser(url);
  }
}

std::string Plugin::panelUrl() {
  std::lock_guard lock(panelMu_);
  return panel_ ? panel_->baseUrl() : std::string();
}

std::string Plugin::hostConfigFile() const {
  // Written with a forward slash, as the host's own plug-ins do.
  return options_.runDirectory + "/conf/CQP.cfg";
}

void Plugin::writeStatusKey() {
  const Status written =
      WriteProfileString(hostConfigFile(), "App", "com.brindle.warden.status", "1");
  if (!written.ok()) LogWarning("cannot write the plug-in status: " + written.message());
  // The host reads the entry back right after loading.
  lifecycle_.clock().sleepFor(Millis(100));
}

void Plugin::information(const std::string& text) {
  if (options_.information) {
    options_.information(text);
  } else {
    ShowInformationBox(text);
  }
}

template <typename Fn>
int32_t Plugin::guarded(const char* entry, Fn&& fn) {
  // Nothing may unwind into the host: it was not built to pass C++ exceptions.
  std::string failure;
  int number = 0;
  try {
    return fn();
  } catch (const std::system_error& e) {
    failure = e.what();
    number = e.code().value();
  } catch (const std::exception& e) {
    failure = e.what();
    number = 1;
  } catch (...) {
    failure = "unknown failure";
    number = 2;
  }
  LogError(std::string(entry) + ": " + failure);
  RuntimeErrorReporter reporter;
  {
    std::lock_guard lock(reporterMu_);
    reporter = reporter_;
  }
  if (reporter) reporter(std::string(entry) + ": " + failure, number);
  return 0;
}

void Plugin::terminateHost() {
  if (options_.terminateHost) {
    options_.terminateHost();
  } else {
    TerminateHostProcess();
  }
}

template <typename Record>
std::function<void(const Record&)> Plugin::reporting(const char* what,
                                                     std::function<void(const Record&)> handler) {
  if (!handler) return handler;
  return [this, what, handler = std::move(handler)](const Record& record) {
    guarded(what, [&] {
      handler(record);
      return 0;
    });
  };
}

const char* Plugin::AppInfo() { return appInfo_.keep(Utf8ToGbk(Lifecycle::AppInfo())); }

int32_t Plugin::Initialize(int32_t authCode) {
  initialized_.store(true);
  return guarded("Initialize", [&] {
    // Here and not at the library load: under the loader lock neither another
    // library may be loaded nor a file written safely.
    if (!host_.bound()) host_.bind(HostLibrary::open(options_.hostLibrary));
    writeStatusKey();
    host_.setAuthCode(authCode);
    return lifecycle_.Initialize(authCode);
  });
}

int32_t Plugin::_eventStartup() {
  return guarded("_eventStartup", [&] { return lifecycle_._eventStartup(); });
}

int32_t Plugin::_eventEnable() {
  return guarded("_eventEnable", [&] { return lifecycle_._eventEnable(); });
}

int32_t Plugin::_eventDisable() {
  return guarded("_eventDisable", [&] { return lifecycle_._eventDisable(); });
}

int32_t Plugin::_eventExit() {
  ended_.store(true);
  return guarded("_eventExit", [&] {
    lifecycle_._eventExit();
    // The host exits (or unloads the library) next: every thread of the
    // plug-in ends here, while it can still be joined (never under the loader
    // lock of an unload). The settings are saved, the database closed.
    stopPanel();
    robot_.shutdown();
    return 0;
  });
}

int32_t Plugin::_menuA() {
  return guarded("_menuA", [&] { return lifecycle_._menuA(); });
}

int32_t Plugin::_menuB() {
  return guarded("_menuB", [&] { return lifecycle_._menuB(); });
}

int32_t Plugin::_eventPrivateMsg(int32_t subType, int32_t msgId, int64_t fromQQ, const char* msg,
                                 int32_t font) {
  return guarded("_eventPrivateMsg", [&] {
    const std::string text = FromHost(msg);
    return lifecycle_._eventPrivateMsg(subType, msgId, fromQQ, text.c_str(), font);
  });
}

int32_t Plugin::_eventGroupMsg(int32_t subType, int32_t msgId, int64_t fromGroup, int64_t fromQQ,
                               const char* fromAnonymous, const char* msg, int32_t font) {
  return guarded("_eventGroupMsg", [&] {
    const std::string anonymous = FromHost(fromAnonymous);
    const std::string text = FromHost(msg);
    return lifecycle_._eventGroupMsg(subType, msgId, fromGroup, fromQQ, anonymous.c_str(),
                                     text.c_str(), font);
  });
}

int32_t Plugin::_eventDiscussMsg(int32_t subType, int32_t msgId, int64_t fromDiscuss,
                                 int64_t fromQQ, const char* msg, int32_t font) {
  return guarded("_eventDiscussMsg", [&] {
    const std::string text = FromHost(msg);
    return lifecycle_._eventDiscussMsg(subType, msgId, fromDiscuss, fromQQ, text.c_str(), font);
  });
}

int32_t Plugin::_eventGroupUpload(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                  int64_t fromQQ, const char* file) {
  return guarded("_eventGroupUpload", [&] {
    const std::string text = FromHost(file);
    return lifecycle_._eventGroupUpload(subType, sendTime, fromGroup, fromQQ, text.c_str());
  });
}

int32_t Plugin::_eventSystem_GroupAdmin(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                        int64_t beingOperateQQ) {
  return guarded("_eventSystem_GroupAdmin", [&] {
    return lifecycle_._eventSystem_GroupAdmin(subType, sendTime, fromGroup, beingOperateQQ);
  });
}

int32_t Plugin::_eventSystem_GroupMemberDecrease(int32_t subType, int32_t sendTime,
                                                 int64_t fromGroup, int64_t fromQQ,
                                                 int64_t beingOperateQQ) {
  return guarded("_eventSystem_GroupMemberDecrease", [&] {
    return lifecycle_._eventSystem_GroupMemberDecrease(subType, sendTime, fromGroup, fromQQ,
                                                       beingOperateQQ);
  });
}

int32_t Plugin::_eventSystem_GroupMemberIncrease(int32_t subType, int32_t sendTime,
                                                 int64_t fromGroup, int64_t fromQQ,
                                                 int64_t beingOperateQQ) {
  return guarded("_eventSystem_GroupMemberIncrease", [&] {
    return lifecycle_._eventSystem_GroupMemberIncrease(subType, sendTime, fromGroup, fromQQ,
                                                       beingOperateQQ);
  });
}

int32_t Plugin::_eventFriend_Add(int32_t subType, int32_t sendTime, int64_t fromQQ) {
  return guarded("_eventFriend_Add",
                 [&] { return lifecycle_._eventFriend_Add(subType, sendTime, fromQQ); });
}

int32_t Plugin::_eventRequest_AddFriend(int32_t subType, int32_t sendTime, int64_t fromQQ,
                                        const char* msg, const char* responseFlag) {
  return guarded("_eventRequest_AddFriend", [&] {
    const std::string text = FromHost(msg);
    const std::string flag = FromHost(responseFlag);
    return lifecycle_._eventRequest_AddFriend(subType, sendTime, fromQQ, text.c_str(),
                                              flag.c_str());
  });
}

int32_t Plugin::_eventRequest_AddGroup(int32_t subType, int32_t sendTime, int64_t fromGroup,
                                       int64_t fromQQ, const char* msg, const char* responseFlag) {
  return guarded("_eventRequest_AddGroup", [&] {
    const std::string text = FromHost(msg);
    const std::string flag = FromHost(responseFlag);
    return lifecycle_._eventRequest_AddGroup(subType, sendTime, fromGroup, fromQQ, text.c_str(),
                                             flag.c_str());
  });
}

const char* Plugin::ComputeGtk(const char* cookieValue) {
  std::string result;
  guarded("计算G_tk", [&] {
    result = gtk(FromHost(cookieValue));
    return 0;
  });
  return gtk_.keep(std::move(result));
}

const char* Plugin::FetchNickname(const char* account) {
  std::string result;
  guarded("取_QQ昵称", [&] {
    result = Utf8ToGbk(lifecycle_.qq().fetchNickname(FromHost(account)));
    return 0;
  });
  return nickname_.keep(std::move(result));
}

const char* Plugin::FetchOwnAvatar() {
  std::string result;
  guarded("取_QQ头像", [&] {
    result = lifecycle_.qq().fetchOwnAvatar();  // image bytes, not text
    return 0;
  });
  return avatar_.keep(std::move(result));
}

int32_t Plugin::RefreshGroupData() {
  return guarded("刷新群管数据", [&] {
    statistics_.RefreshStatisticsDays();
    return 0;
  });
}

int32_t Plugin::PublishHomework(const char* group, const char* courseName, const char* content,
                                int32_t remind, const char* syncGroups) {
  return guarded("资料_发布作业", [&] {
    return lifecycle_.qq().postHomework(FromHost(group), FromHost(courseName), FromHost(content),
                                        remind != 0, FromHost(syncGroups))
               ? 1
               : 0;
  });
}

void LoadPlugin(PluginOptions options) {
  std::lock_guard lock(gPluginMu);
  delete gPlugin;
  gPlugin = nullptr;
  gPlugin = new Plugin(std::move(options));
}

Plugin* EnsurePlugin(const std::function<PluginOptions()>& options) {
  std::lock_guard lock(gPluginMu);
  if (!gPlugin) gPlugin = new Plugin(options());
  return gPlugin;
}

bool RestartIfInitialized() {
  Plugin* current = CurrentPlugin();
  if (!current || !current->initialized()) return false;
  LogWarning(current->ended() ? "the host initializes the plug-in again after _eventExit: a fresh "
                                "instance starts"
                              : "the host initializes the plug-in again without having ended it "
                                "(no _eventExit): the previous instance stops calling the host "
                                "and is shut down, a fresh one starts");
  current->host().stopCalls();
  // The fresh instance takes the old one's place at once, so that an export
  // called meanwhile never finds none (and makes one of its own).
  auto fresh = std::make_unique<Plugin>(current->options());
  std::unique_ptr<Plugin> old;
  {
    std::lock_guard lock(gPluginMu);
    old.reset(gPlugin);
    gPlugin = fresh.release();
  }
  old.reset();  // joins its threads: an export's thread, not under the loader lock
  return true;
}

void UnloadPlugin() {
  std::unique_ptr<Plugin> plugin;
  {
    std::lock_guard lock(gPluginMu);
    plugin.reset(gPlugin);
    gPlugin = nullptr;
  }
}

void UnloadPluginForLibraryUnload() {
  std::unique_ptr<Plugin> plugin;
  {
    std::lock_guard lock(gPluginMu);
    plugin.reset(gPlugin);
    gPlugin = nullptr;
  }
  if (!plugin) return;
  if (plugin->initialized() && !plugin->ended()) {
    LogWarning("the host unloads the plug-in without _eventExit: no host call is made any more");
  }
  plugin->host().stopCalls();
}

Plugin* CurrentPlugin() {
  std::lock_guard lock(gPluginMu);
  return gPlugin;
}

}  // namespace bw::dll
