#include "service.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <thread>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "onebot/connection.h"
#include "onebot/event_hold.h"
#include "onebot/events.h"
#include "onebot/image_size.h"
#include "onebot/json_fields.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "storage/ini_file.h"
#include "storage/schema.h"
#include "update/updater.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
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

}  // namespace

int RunService(const CommandLine& cl) {
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

  const EventHandlers entryPoints = LifecycleEntryPoints(lifecycle);
  // Events sent from the moment of connection wait for the startup to end:
  // before it the robot is not running and would drop them.
  onebot::EventHold held(
      [&entryPoints](const onebot::Json& event) { onebot::RouteEvent(event, entryPoints); });
  connection.setEventHandler([&held, &host](const onebot::Json& event) {
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
    if (state != onebot::LinkState::kUnauthorized) return;
    refused.store(true);
    stop.request_stop();
  });

  LogInfo(std::string("brindle-warden ") + BW_VERSION + " starting; home " + home);
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
  LogInfo("logged-in account " + std::to_string(account) + " (" + host.CQ_getLoginNick() +
          "); data in " + home + "/data/" + std::to_string(account) + "/");

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
  connection.stop();  // calls still in flight fail at once, so handlers finish quickly
  // Workers first, then save, then the database: no handler meets a closed one.
  robot.shutdown();
  LogInfo("stopped; settings saved in " + lifecycle.dataDirectory());
  return refused.load() ? 1 : 0;
}

}  // namespace bw::app
