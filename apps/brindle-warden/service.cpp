#include "service.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "host/recording_host.h"
#include "onebot/connection.h"
#include "onebot/event_hold.h"
#include "onebot/events.h"
#include "onebot/image_size.h"
#include "onebot/json_fields.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "storage/ini_file.h"
#include "storage/schema.h"
#include "ui/panel_server.h"
#include "update/updater.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "web/qq_services.h"
#include "web/web_client.h"
#include "web/web_qq_services.h"
#include "web/web_tokens.h"

namespace bw::app {
namespace {

// Without a window the update's caption and boxes become log lines.
class ServiceUpdateUi : public UpdateUi {
 public:
  void showInformation(const std::string& text, bool) override { LogInfo(text); }
  void setCaption(const std::string& text) override { LogInfo("status: " + text); }
  void terminateHost() override {}  // never asked: the service installs nothing
};

// The service log: local time with milliseconds and the level, on standard output.
void LogToStandardOutput(LogLevel level, std::string_view message) {
  const std::string line = FormatLogLine(level, message);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

// SIGINT and SIGTERM end the service: the signals are blocked in every thread
// and taken by one thread that turns them into a stop request.
class SignalStop {
 public:
  explicit SignalStop(std::stop_source& stop) : stop_(stop) {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    signal(SIGPIPE, SIG_IGN);
    thread_ = std::thread([this] {
      int sig = 0;
      while (sigwait(&set_, &sig) == 0) {
        if (done_.load()) return;
        LogInfo(std::string("received ") + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ", stopping");
        stop_.request_stop();
        return;
      }
    });
  }
  ~SignalStop() {
    done_.store(true);
    pthread_kill(thread_.native_handle(), SIGTERM);  // ends the sigwait if no signal came
    thread_.join();
  }

 private:
  std::stop_source& stop_;
  sigset_t set_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// --panel: "PORT" or "ADDRESS:PORT". Only loopback addresses for now: the
// panel has no TLS, and its token would cross the network in the clear.
std::optional<ui::PanelOptions> PanelOptionsOf(const CommandLine& cl) {
  ui::PanelOptions options;
  const std::optional<std::string> text = cl.flag("panel");
  if (!text) return options;
  std::string address = "127.0.0.1", port = *text;
  if (const size_t colon = text->rfind(':'); colon != std::string::npos) {
    address = text->substr(0, colon);
    port = text->substr(colon + 1);
  }
  if (address == "localhost") address = "127.0.0.1";
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
      std::stoi(port) > 65535) {
    LogError("--panel needs a port number (1-65535), as PORT or ADDRESS:PORT, not \"" + *text +
             "\"");
    return std::nullopt;
  }
  if (!address.starts_with("127.")) {
    LogError(
        "--panel listens only on a loopback address (127.x.x.x); to reach the panel from "
        "elsewhere, put a reverse proxy with TLS in front of it");
    return std::nullopt;
  }
  options.address = address;
  options.port = std::stoi(port);
  return options;
}

// The settings panel of `robot`, or null (logged) when it cannot serve.
std::unique_ptr<ui::PanelServer> StartPanel(RobotCore& robot, ui::ConnectionStatus& status,
                                            ui::PanelAuth& auth, const ui::PanelOptions& options,
                                            const std::string& home) {
  const std::string tokenFile = home + "/panel.token";
  if (Status s = auth.loadOrCreateToken(tokenFile); !s) {
    LogError("settings panel: " + s.message());
    return nullptr;
  }
  auto panel = std::make_unique<ui::PanelServer>(robot, status, auth, options);
  if (!panel->start()) return nullptr;
  LogInfo("settings panel: open " + panel->loginUrl() + " to log in (the token is kept in " +
          tokenFile + ")");
  return panel;
}

// The account whose data `panel` edits: --self, else the one account
// directory below DIR/data, else 10000.
std::optional<int64_t> OfflineAccount(const CommandLine& cl, const std::string& home) {
  auto isAccount = [](const std::string& s) {
    return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos &&
           s != std::string(s.size(), '0');
  };
  if (auto self = cl.flag("self")) {
    if (!isAccount(*self)) {
      LogError("--self must be a QQ number, not \"" + *self + "\"");
      return std::nullopt;
    }
    return std::stoll(*self);
  }
  std::vector<std::string> accounts;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/data", ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && isAccount(name)) accounts.push_back(name);
  }
  if (accounts.size() > 1) {
    LogError(home + "/data holds the data of several accounts; choose one with --self");
    return std::nullopt;
  }
  return accounts.empty() ? 10000 : std::stoll(accounts[0]);
}

}  // namespace

int RunPanel(const CommandLine& cl) {
  SetLogSink(&LogToStandardOutput);
  const std::optional<std::string> flagHome = cl.flag("home");
  if (!flagHome || flagHome->empty()) {
    LogError("panel needs --home DIR (the directory whose settings it edits)");
    return 2;
  }
  std::string home = *flagHome;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!EnsureDirectory(home)) {
    LogError("cannot use " + home + " as the home directory (--home)");
    return 2;
  }
  const std::optional<ui::PanelOptions> panelOptions = PanelOptionsOf(cl);
  const std::optional<int64_t> account = OfflineAccount(cl, home);
  if (!panelOptions || !account) return 2;

  std::stop_source stop;
  SignalStop signals(stop);
  RealClock clock;
  // No account is connected: calls that would act are refused, web lookups fail.
  RecordingHost host;
  host.setLoginQQ(*account);
  OfflineQqServices qq;
  Lifecycle lifecycle(host, clock, qq, home, QueueMode::kSynchronous);
  CoreOptions core;
  core.refreshInsideStartup = true;
  RobotCore robot(lifecycle, core);
  // No account to act through: timed tasks are edited and saved but never run
  // (a run would report 执行完毕 for messages nobody sent).
  robot.modules.scheduler.useSteppedMode();
  lifecycle.setHooks(robot.hooks());
  LogInfo(std::string("brindle-warden ") + BW_VERSION + " settings panel for " + home + "/data/" +
          std::to_string(*account) + "/ (offline: no account connected)");
  lifecycle.Initialize(0);
  lifecycle._eventStartup();
  lifecycle._eventEnable();  // synchronous: the settings are loaded when it returns
  ui::ConnectionStatus status(clock);
  status.setAccount(std::to_string(*account), "");
  ui::PanelAuth auth(clock);
  std::unique_ptr<ui::PanelServer> panel = StartPanel(robot, status, auth, *panelOptions, home);
  if (!panel) {
    robot.shutdown();
    return 2;
  }
  clock.sleepUntilStopped(stop.get_token());
  panel->stop();
  robot.shutdown();
  LogInfo("stopped; settings saved in " + lifecycle.dataDirectory());
  return 0;
}

int RunService(const CommandLine& cl) {
  // Blocks of 256 KiB and more are mapped and unmapped on their own: the
  // copies of a message of megabytes go back to the system when it has been
  // handled, instead of raising the heap's threshold and staying resident.
  mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  SetLogSink(&LogToStandardOutput);
  if (auto level = cl.flag("log-level")) {
    auto parsed = ParseLogLevel(*level);
    if (!parsed) {
      LogError("--log-level must be debug, info, warning or error");
      return 2;
    }
    SetLogLevel(*parsed);
  }
  std::string home = cl.flag("home").value_or(DefaultHome());
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!EnsureDirectory(home)) {
    LogError("cannot use " + home + " as the home directory (--home)");
    return 2;
  }
  const std::string config = cl.flag("config").value_or(home + "/brindle-warden.ini");
  if (cl.flag("config") && !FileExists(config)) {
    LogError("the config file " + config + " does not exist");
    return 2;
  }
  onebot::ConnectionOptions options;
  options.url = cl.flag("url").value_or(ReadProfileString(config, "onebot", "url", options.url));
  options.accessToken =
      cl.flag("token").value_or(ReadProfileString(config, "onebot", "access_token", ""));
  if (auto tokenFile = cl.flag("token-file")) {
    if (Status st = ReadTokenFile(*tokenFile, options.accessToken); !st) {
      LogError(st.message());
      return 2;
    }
  }
  const std::string postgres =
      cl.flag("postgres").value_or(ReadProfileString(config, "database", "postgres", ""));
  std::string updateUrl =
      cl.flag("update-url").value_or(ReadProfileString(config, "update", "url", ""));
  if (!updateUrl.empty() && updateUrl.back() != '/') updateUrl += '/';
  if (!cl.positional.empty()) {
    LogError("run takes no file argument (did you mean replay?)");
    return 2;
  }
  const bool servePanel = !cl.flag("no-panel");
  const std::optional<ui::PanelOptions> panelOptions = PanelOptionsOf(cl);
  if (!panelOptions) return 2;

  std::stop_source stop;
  SignalStop signals(stop);
  RealClock clock;
  onebot::Connection connection(clock, options);
  onebot::OneBotHost host(connection);
  WebClient web;
  WebTokens tokens;
  WebQqServices webQq(web, tokens);
  onebot::OneBotQqServices qq(connection, webQq);
  Lifecycle lifecycle(host, clock, qq, home);
  // Acting calls that finally fail are reported in the run log, until it goes.
  host.setRunLog(&lifecycle.runLog());
  struct RunLogDetach {
    onebot::OneBotHost& host;
    ~RunLogDetach() { host.setRunLog(nullptr); }
  } runLogDetach{host};
  onebot::UrlImageInfo images(lifecycle.settings());
  CoreOptions core;
  core.images = &images;
  if (!postgres.empty()) {
    core.connectDatabase = [postgres](Database& db) {
      return DeployAndConnectPostgres(db, postgres);
    };
  }
  RobotCore robot(lifecycle, core);
  LifecycleHooks hooks = robot.hooks();
  hooks.webTokens = [&tokens](Lifecycle& p) {
    tokens.setLoginCookies(p.cookies());
    tokens.setBkn(p.csrfToken());
  };
  lifecycle.setHooks(hooks);

  ui::ConnectionStatus panelStatus(clock);
  panelStatus.set(ui::ConnectionStatus::State::kWaiting, options.url);
  const EventHandlers entryPoints = LifecycleEntryPoints(lifecycle);
  // Events sent from the moment of connection wait for the startup to end:
  // before it the robot is not running and would drop them.
  onebot::EventHold held(
      [&entryPoints](const onebot::Json& event) { onebot::RouteEvent(event, entryPoints); });
  connection.setEventHandler([&held, &host, &panelStatus](const onebot::Json& event) {
    panelStatus.countEvent();
    if (onebot::TextField(event, "post_type") == "request" &&
        onebot::TextField(event, "request_type") == "group") {
      host.noteRequest(onebot::TextField(event, "flag"),
                       onebot::IntField(event, "group_id").value_or(0),
                       onebot::IntField(event, "user_id").value_or(0));
    }
    held.onEvent(event);
  });
  std::atomic<bool> refused{false};
  connection.setStateHandler([&](onebot::LinkState state) {
    if (state == onebot::LinkState::kConnected) {
      panelStatus.set(ui::ConnectionStatus::State::kConnected, options.url);
    } else if (state == onebot::LinkState::kConnecting || state == onebot::LinkState::kRetrying) {
      panelStatus.set(ui::ConnectionStatus::State::kWaiting, options.url);
    }
    if (state != onebot::LinkState::kUnauthorized) return;
    refused.store(true);
    stop.request_stop();
  });

  LogInfo(std::string("brindle-warden ") + BW_VERSION + " starting; home " + home);
  // The panel serves from the start, so a newcomer finds its address in the
  // first lines and can set the robot up while it waits for the account.
  ui::PanelAuth panelAuth(clock);
  std::unique_ptr<ui::PanelServer> panel;
  if (servePanel) panel = StartPanel(robot, panelStatus, panelAuth, *panelOptions, home);
  if (!connection.start()) return 2;
  LogInfo("waiting for a OneBot v11 implementation to accept the WebSocket at " + options.url +
          " (enable its forward WebSocket server there" +
          (options.accessToken.empty() ? "" : ", with the same access token") + ")");
  if (!connection.waitUntilConnected(stop.get_token())) {
    connection.stop();
    return refused.load() ? 1 : 0;
  }
  // The account names the data directory: without it nothing can start.
  int64_t account = 0;
  for (int attempt = 0; attempt < 30 && !stop.stop_requested(); ++attempt) {
    account = host.CQ_getLoginQQ();
    if (account > 0) break;
    clock.sleepFor(std::chrono::seconds(2), stop.get_token());
  }
  if (account <= 0) {
    connection.stop();
    if (stop.stop_requested()) return refused.load() ? 1 : 0;
    LogError("the OneBot implementation does not tell which account is logged in (get_login_info)");
    return 1;
  }
  const std::string nick = host.CQ_getLoginNick();
  panelStatus.setAccount(std::to_string(account), nick);
  LogInfo("logged-in account " + std::to_string(account) + " (" + nick + "); data in " + home +
          "/data/" + std::to_string(account) + "/");

  lifecycle.Initialize(0);
  lifecycle._eventStartup();
  lifecycle._eventEnable();  // the startup sequence runs on the window thread
  const bool startedUp = robot.waitStartedUp(stop.get_token());
  if (startedUp) held.release();
  if (startedUp && lifecycle.lists().groups.rowCount() == 0) {
    // No window to press "刷新群列表" in: a first start lists the groups itself.
    robot.modules.memberRefresh.refreshGroupList();
    LogInfo("the group list has " + std::to_string(lifecycle.lists().groups.rowCount()) +
            " groups the robot owns or administers, " +
            std::to_string(lifecycle.managedGroups().size()) +
            " of them managed; to manage a group, stop the service and change {0} to {1} at "
            "the head of its line in " +
            lifecycle.dataDirectory() + "群列表.txt");
  }
  // The service installs nothing: a newer version is only reported.
  std::thread updateCheck;
  ServiceUpdateUi updateUi;
  std::unique_ptr<Updater> updater;
  if (!updateUrl.empty()) {
    UpdateConfig update;
    update.baseUrl = updateUrl;
    update.installs = false;
    updater = std::make_unique<Updater>(clock, host, lifecycle.runLog(), web, update, home);
    // Ends when the service's stop is requested (the wait between checks watches it).
    updateCheck = std::thread([&updater, &updateUi, token = stop.get_token()] {
      updater->checkAndInstallAtEnable(updateUi);
      if (!IsNewerVersion(updater->latestVersionText())) {
        updater->periodicUpdateCheck(updateUi, token);
      }
    });
  }
  clock.sleepUntilStopped(stop.get_token());
  if (updateCheck.joinable()) updateCheck.join();

  LogInfo("stopping: closing the connection, saving the settings");
  if (panel) panel->stop();  // no change from the panel while the settings are saved
  connection.stop();         // calls still in flight fail at once, so handlers finish quickly
  // Workers first, then save, then the database: no handler meets a closed one.
  robot.shutdown();
  LogInfo("stopped; settings saved in " + lifecycle.dataDirectory());
  return refused.load() ? 1 : 0;
}

}  // namespace bw::app
