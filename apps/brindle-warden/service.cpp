#include "service.h"

#include <malloc.h>
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "account_runner.h"
#include "accounts_config.h"
#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "host/recording_host.h"
#include "logs/run_log.h"
#include "onebot/connection.h"
#include "onebot/event_hold.h"
#include "onebot/events.h"
#include "onebot/image_size.h"
#include "onebot/json_fields.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "onebot/reverse_listener.h"
#include "panel_options.h"
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

// The service of many accounts checks once for all of them: the run-log
// line says it, and a caption naming one account would mislead.
class AccountsUpdateUi : public UpdateUi {
 public:
  void showInformation(const std::string& text, bool) override { LogInfo(text); }
  void setCaption(const std::string&) override {}
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

// The account of a home without any account's data yet.
constexpr int64_t kNewcomerAccount = 10000;

bool IsAccountName(const std::string& s) {
  return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos &&
         s != std::string(s.size(), '0');
}

// The accounts with a data folder below DIR/data, in ascending order.
std::vector<int64_t> AccountsWithData(const std::string& home) {
  std::vector<int64_t> accounts;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(home + "/data", ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.is_directory() && IsAccountName(name)) accounts.push_back(std::stoll(name));
  }
  std::sort(accounts.begin(), accounts.end());
  return accounts;
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
  return accounts.empty() ? kNewcomerAccount : std::stoll(accounts[0]);
}

// The robot over one account's data without any account connected: calls
// that would act are only recorded, web lookups fail. `panel` runs on it; the
// service runs on it while it waits, so that the panel can change settings
// before the link.
struct OfflineRobot {
  OfflineRobot(Clock& clock, const std::string& home, int64_t account)
      : lifecycle(host, clock, qq, home, QueueMode::kSynchronous),
        robot(lifecycle, Options()),
        account(account) {
    host.setLoginQQ(account);
    // No account to act through: timed tasks are edited and saved but never run
    // (a run would report 执行完毕 for messages nobody sent).
    robot.modules.scheduler.useSteppedMode();
    // Nor does verification kick anybody while no account can act.
    robot.modules.verification.useSteppedMode();
    lifecycle.setHooks(robot.hooks());
    lifecycle.Initialize(0);
    lifecycle._eventStartup();
    lifecycle._eventEnable();  // synchronous: the settings are loaded when it returns
  }
  static CoreOptions Options() {
    CoreOptions core;
    // No account, no member lists: the refresh would only log a failure per group.
    core.refreshMembersAtStartup = false;
    return core;
  }

  RecordingHost host;
  OfflineQqServices qq;
  Lifecycle lifecycle;
  RobotCore robot;
  const int64_t account;
};

// What was set up before the account was known lands in the connected
// account's data: the directory of the newcomer's placeholder account becomes
// the account's own, unless the account has data already.
void AdoptWaitingData(const std::string& home, int64_t waited, int64_t account) {
  if (waited == account) return;
  const std::string from = home + "/data/" + std::to_string(waited);
  const std::string to = home + "/data/" + std::to_string(account);
  std::error_code ec;
  if (waited == kNewcomerAccount && !std::filesystem::exists(to, ec)) {
    std::filesystem::rename(from, to, ec);
    if (!ec) {
      LogInfo("the settings made before the account connected move to " + to + "/");
      return;
    }
    LogWarning("cannot move " + from + " to " + to + ": " + ec.message());
  }
  LogWarning("the settings changed while waiting were saved for account " + std::to_string(waited) +
             " in " + from + "/, not for the connected account " + std::to_string(account));
}

// The service of the accounts in the config's [account …] sections: each runs
// on its own, and one panel with one login serves them all.
int RunAccounts(const CommandLine& cl, const std::string& home, const AccountsConfig& config,
                const std::string& postgres, const std::string& updateUrl,
                const std::optional<ui::PanelOptions>& panelOptions,
                const std::optional<onebot::ListenOptions>& listen) {
  std::set<int64_t> allowed = config.allowed;
  if (auto list = cl.flag("accounts")) {
    std::string error;
    const auto parsed = ParseAccountList(*list, error);
    if (!parsed) {
      LogError("--accounts: " + error);
      return 2;
    }
    allowed = *parsed;
  }
  std::stop_source stop;
  SignalStop signals(stop);
  RealClock clock;
  ui::PanelAccounts panelAccounts;
  // The accounts of the config from the start; those that connect to the
  // listener on first use, from its thread.
  std::mutex runnersMu;
  std::vector<std::unique_ptr<AccountRunner>> runners;  // after the accounts: gone before them
  std::set<int64_t> forward;
  // An account connected to the listener and away longer than its held calls
  // wait is released: its core goes, and its slot with it. While its stop
  // runs it may not start again (its files are being saved); once it has,
  // its next connection starts it from its data folder.
  const Millis holdFor = config.holdFor.value_or(onebot::ConnectionOptions{}.maxHeldAge);
  std::set<int64_t> releasing;  // under runnersMu
  std::set<int64_t> released;   // under runnersMu
  auto add = [&](AccountSetup setup, const std::string& name) -> AccountRunner* {
    if (!allowed.empty() && !allowed.contains(setup.account)) {
      LogWarning(name + " is not among the accounts allowed (--accounts, accounts=): not started");
      return nullptr;
    }
    if (runners.size() + releasing.size() >= kMaxAccounts) {
      LogError(name + " refused: one service runs at most " + std::to_string(kMaxAccounts) +
               " accounts; run a second service for the others");
      return nullptr;
    }
    setup.postgres = postgres;
    setup.connection.maxHeldAge = holdFor;
    runners.push_back(std::make_unique<AccountRunner>(
        clock, home, std::move(setup), [&panelAccounts, &panelOptions](AccountRunner& r) {
          panelAccounts.setRobot(r.account(), r.robot());
          if (panelOptions)
            LogInfo("settings panel: now serving the settings of account " +
                    std::to_string(r.account()));
        }));
    panelAccounts.add(runners.back()->account(), runners.back()->status());
    return runners.back().get();
  };
  for (const AccountSection& section : config.accounts) {
    AccountSetup setup;
    setup.account = section.account;
    setup.connection.url = section.url;
    setup.connection.accessToken = section.accessToken;
    setup.where = "line " + std::to_string(section.line);
    setup.link = section.url;
    if (add(std::move(setup), "account " + std::to_string(section.account) + " (line " +
                                  std::to_string(section.line) + ")"))
      forward.insert(section.account);
  }
  if (runners.empty() && !listen) {
    LogError("no account to run: name them in [account …] sections of " +
             std::string("the config") + ", or let them connect with --listen (listen=)");
    return 2;
  }
  LogInfo(std::string("brindle-warden ") + BW_VERSION + " starting " +
          std::to_string(runners.size()) + " accounts" + (listen ? " and those that connect" : "") +
          "; home " + home);
  ui::PanelAuth panelAuth(clock);
  std::unique_ptr<ui::PanelServer> panel;  // declared after the runners: stops before them
  if (panelOptions) {
    if (!LoadPanelSecrets(panelAuth, home)) return 2;
    panel = StartPanel(panelAccounts, clock, panelAuth, *panelOptions, home);
  }
  for (auto& runner : runners)
    if (!runner->start())
      LogError("account " + std::to_string(runner->account()) + " cannot start");
  std::unique_ptr<onebot::ReverseListener> listener;
  if (listen) {
    listener = std::make_unique<onebot::ReverseListener>(
        clock, *listen, [&](int64_t selfId) -> onebot::Connection* {
          std::lock_guard lock(runnersMu);
          const std::string name = "account " + std::to_string(selfId);
          if (forward.contains(selfId)) {
            LogWarning(name + " connected to the listener, but its section names a forward " +
                       "WebSocket: refused (events would come twice)");
            return nullptr;
          }
          for (auto& r : runners)
            if (r->account() == selfId) return r->offerLink();
          if (releasing.contains(selfId)) {
            LogWarning(name +
                       " connected while its core is being released (its settings are "
                       "being saved): refused; it starts at its next attempt");
            return nullptr;
          }
          // An account connecting for the first time starts like a first start;
          // one released while away, like a restart from its data folder.
          const bool again = released.contains(selfId);
          AccountSetup setup;
          setup.account = selfId;
          setup.connection.reverse = true;
          setup.connection.selfId = selfId;
          setup.where = "a reverse connection";
          setup.link = "ws://" + listener->where() + " (reverse)";
          AccountRunner* runner = add(std::move(setup), name + " (a reverse connection)");
          if (!runner) return nullptr;
          if (!runner->start()) return nullptr;
          released.erase(selfId);
          LogInfo(name + (again ? ": connected to the listener again after its core was "
                                  "released; starting it from its data folder"
                                : ": connected to the listener for the first time; starting it"));
          return runner->offerLink();
        });
    if (!listener->start()) return 2;
    LogInfo("waiting for OneBot v11 implementations to connect to ws://" + listener->where() +
            "/ (each account's reverse WebSocket URL" +
            (listen->accessToken.empty() ? "" : ", with the access token") + ")");
  }
  // One update check for the process, whatever the number of accounts; the
  // service installs nothing: a newer version is only reported.
  std::thread updateCheck;
  AccountsUpdateUi updateUi;
  RecordingHost updateHost;  // no account of its own: the check acts on none
  RunLog updateLog(clock, nullptr, 100);
  WebClient web;
  std::unique_ptr<Updater> updater;
  if (!updateUrl.empty()) {
    UpdateConfig update;
    update.baseUrl = updateUrl;
    update.installs = false;
    updater = std::make_unique<Updater>(clock, updateHost, updateLog, web, update, home);
    LogInfo("update: checking " + updateUrl + " for a newer version, now and every " +
            std::to_string(update.periodMinutes) + " minutes");
    updateCheck = std::thread([&updater, &updateUi, token = stop.get_token()] {
      updater->checkAndInstallAtEnable(updateUi);
      if (!IsNewerVersion(updater->latestVersionText()))
        updater->periodicUpdateCheck(updateUi, token);
    });
  }

  // Releases the accounts of the listener that stayed away too long.
  auto releaseAbsent = [&] {
    std::vector<std::unique_ptr<AccountRunner>> gone;
    {
      std::lock_guard lock(runnersMu);
      for (auto it = runners.begin(); it != runners.end();) {
        AccountRunner& r = **it;
        const std::optional<Millis> away = r.awayFor();
        // Forward accounts reconnect by themselves and keep their core; a
        // connection still being handed over is no absence.
        if (forward.contains(r.account()) || !away || *away <= holdFor || !r.handOversDone()) {
          ++it;
          continue;
        }
        releasing.insert(r.account());
        gone.push_back(std::move(*it));
        it = runners.erase(it);
      }
    }
    if (gone.empty()) return;
    // The panel lets go of their pages first: it stops (answering what it
    // was asked), forgets them and serves the others again.
    if (panel) panel->stop();
    for (const auto& r : gone) panelAccounts.remove(r->account());
    if (panel) {
      panel = StartPanel(panelAccounts, clock, panelAuth, *panelOptions, home, /*announce=*/false);
      if (!panel) LogError("settings panel: cannot serve again after an account was released");
    }
    for (const auto& r : gone) r->release(holdFor);
    std::lock_guard lock(runnersMu);
    for (const auto& r : gone) {
      releasing.erase(r->account());
      released.insert(r->account());
    }
    gone.clear();  // each runner's memory goes here
  };
  // Checked a few times per bound, so that none is kept much past it.
  const Millis every = std::clamp(holdFor / 4, Millis(250), Millis(5000));
  if (listen) {
    while (clock.sleepFor(every, stop.get_token())) releaseAbsent();
  } else {
    clock.sleepUntilStopped(stop.get_token());
  }
  if (updateCheck.joinable()) updateCheck.join();

  LogInfo("stopping: closing the connections, saving the settings of every account");
  if (panel) panel->stop();
  if (listener) listener->stop();  // no new account while the others stop
  std::lock_guard lock(runnersMu);
  // Side by side: each account's stop waits only for its own handlers.
  std::vector<std::thread> stops;
  for (auto& runner : runners) stops.emplace_back([&runner] { runner->stop(); });
  for (std::thread& t : stops) t.join();
  LogInfo("stopped; the settings of every account are saved in " + home + "/data/");
  return 0;
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
  const std::optional<ui::PanelOptions> panelOptions = PanelOptionsOf(cl, home);
  // --self, else every account with data below DIR/data, else a newcomer's.
  std::vector<int64_t> accounts;
  if (cl.flag("self")) {
    const std::optional<int64_t> account = OfflineAccount(cl, home);
    if (!account) return 2;
    accounts.push_back(*account);
  } else {
    accounts = AccountsWithData(home);
    if (accounts.empty()) accounts.push_back(kNewcomerAccount);
  }
  if (!panelOptions) return 2;
  if (accounts.size() > kMaxAccounts) {
    LogWarning(home + "/data holds the data of " + std::to_string(accounts.size()) +
               " accounts; the panel serves the first " + std::to_string(kMaxAccounts) +
               " (choose another with --self)");
    accounts.resize(kMaxAccounts);
  }

  std::stop_source stop;
  SignalStop signals(stop);
  RealClock clock;
  std::string which;
  for (int64_t a : accounts) which += (which.empty() ? "" : ", ") + std::to_string(a);
  LogInfo(std::string("brindle-warden ") + BW_VERSION + " settings panel for " + home +
          "/data/ account " + which + " (offline: no account connected)");
  ui::PanelAccounts panelAccounts;
  std::vector<std::unique_ptr<ui::ConnectionStatus>> statuses;
  std::vector<std::unique_ptr<OfflineRobot>> robots;  // after the accounts: gone before them
  for (int64_t a : accounts) {
    statuses.push_back(std::make_unique<ui::ConnectionStatus>(clock));
    statuses.back()->setAccount(std::to_string(a), "");
    robots.push_back(std::make_unique<OfflineRobot>(clock, home, a));
    panelAccounts.add(a, *statuses.back());
    panelAccounts.setRobot(a, robots.back()->robot);
  }
  ui::PanelAuth auth(clock);
  std::unique_ptr<ui::PanelServer> panel;
  if (LoadPanelSecrets(auth, home)) {
    panel = accounts.size() == 1
                ? StartPanel(robots[0]->robot, *statuses[0], auth, *panelOptions, home)
                : StartPanel(panelAccounts, clock, auth, *panelOptions, home);
  }
  if (!panel) {
    for (auto& r : robots) r->robot.shutdown();
    return 2;
  }
  clock.sleepUntilStopped(stop.get_token());
  panel->stop();
  for (auto& r : robots) {
    r->robot.shutdown();
    LogInfo("stopped; settings saved in " + r->lifecycle.dataDirectory());
  }
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
  // Several accounts: one [account …] section each.
  AccountsConfig accounts;
  if (std::string text; FileExists(config) && ReadFileBytes(config, text)) {
    if (Status st = ParseAccountsConfig(config, text, accounts); !st) {
      LogError(st.message());
      return 2;
    }
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
  // With --listen the implementation connects to the robot instead.
  const std::string listen =
      cl.flag("listen").value_or(ReadProfileString(config, "onebot", "listen", ""));
  onebot::ListenOptions listenOptions;
  if (!listen.empty()) {
    std::string error;
    if (!onebot::ParseListenAddress(listen, listenOptions, error)) {
      LogError("--listen " + listen + ": " + error);
      return 2;
    }
    if (cl.flag("url") || !ReadProfileString(config, "onebot", "url", "").empty()) {
      // Connected both ways, the implementation would send every event twice.
      LogError(
          "--url (url=) and --listen (listen=) both name the link of the one account: give "
          "one of them");
      return 2;
    }
    listenOptions.accessToken = options.accessToken;
    options.reverse = true;
  }
  if (accounts.holdFor) options.maxHeldAge = *accounts.holdFor;
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
  const std::optional<ui::PanelOptions> panelOptions = PanelOptionsOf(cl, home);
  if (!panelOptions) return 2;
  if (!accounts.accounts.empty() || accounts.accountsGiven || cl.flag("accounts")) {
    if (cl.flag("url") || cl.flag("self")) {
      LogError("--url and --self belong to the service of one account, not beside [account …] " +
               std::string("sections or --accounts (accounts=)"));
      return 2;
    }
    // --token and --token-file stand for the token of every account without its own.
    if (cl.flag("token") || cl.flag("token-file"))
      for (AccountSection& a : accounts.accounts)
        if (!a.ownToken) a.accessToken = options.accessToken;
    return RunAccounts(
        cl, home, accounts, postgres, updateUrl,
        servePanel ? panelOptions : std::optional<ui::PanelOptions>(),
        options.reverse ? std::optional<onebot::ListenOptions>(listenOptions) : std::nullopt);
  }

  std::stop_source stop;
  SignalStop signals(stop);
  RealClock clock;
  onebot::Connection connection(clock, options);
  onebot::OneBotHost host(connection);
  WebClient web;
  WebTokens tokens;
  WebQqServices webQq(web, tokens, WebServiceUrls::FromEnvironment());
  onebot::OneBotQqServices qq(connection, webQq);
  Lifecycle lifecycle(host, clock, qq, home, QueueMode::kLingering);
  // Acting calls that finally fail are reported in the run log, until it goes.
  host.setRunLog(&lifecycle.runLog());
  struct RunLogDetach {
    onebot::OneBotHost& host;
    ~RunLogDetach() { host.setRunLog(nullptr); }
  } runLogDetach{host};
  onebot::UrlImageInfo images(lifecycle.settings());
  CoreOptions core;
  core.images = &images;
  core.historyTimer = true;
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

  const std::string linkName = options.reverse ? "ws://" + listen + " (reverse)" : options.url;
  ui::ConnectionStatus panelStatus(clock);
  panelStatus.set(ui::ConnectionStatus::State::kWaiting, linkName);
  const EventHandlers entryPoints = LifecycleEntryPoints(lifecycle);
  // Events sent from the moment of connection wait for the startup to end:
  // before it the robot is not running and would drop them.
  onebot::EventHold held(
      [&entryPoints](const onebot::Json& event) { onebot::RouteEvent(event, entryPoints); });
  // Events are read only as fast as the robot takes them: while the hold or
  // the queues are full the connection stops reading (the burst waits in the
  // socket), and they call it back when there is room. At the stop the gate
  // shuts first, so that nothing new comes in while the rest is counted.
  std::atomic<bool> stopping{false};
  held.setDownstream(&lifecycle.eventBudget());
  held.setRoomListener([&connection] { connection.resumeEvents(); });
  lifecycle.eventBudget().setRoomListener([&connection] { connection.resumeEvents(); });
  connection.setEventGate([&held, &stopping] { return !stopping.load() && held.hasRoom(); });
  struct StopConnectionFirst {  // its thread asks the gate, which goes next
    onebot::Connection& connection;
    ~StopConnectionFirst() { connection.stop(); }
  } stopConnectionFirst{connection};
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
      panelStatus.set(ui::ConnectionStatus::State::kConnected, linkName);
    } else if (state == onebot::LinkState::kConnecting || state == onebot::LinkState::kRetrying) {
      panelStatus.set(ui::ConnectionStatus::State::kWaiting, linkName);
    }
    if (state != onebot::LinkState::kUnauthorized) return;
    refused.store(true);
    stop.request_stop();
  });

  LogInfo(std::string("brindle-warden ") + BW_VERSION + " starting; home " + home);
  // The panel serves from the start, so a newcomer finds its address in the
  // first lines and can set the robot up while it waits for the account.
  // Until then, it serves an offline robot over the data of the account
  // expected (the one in DIR/data, or a newcomer's): its changes are saved
  // there, and the connected robot's startup reads them.
  ui::PanelAuth panelAuth(clock);
  std::unique_ptr<OfflineRobot> waiting;
  std::unique_ptr<ui::PanelServer> panel;  // declared after: stops before the robot goes
  if (servePanel) {
    if (!LoadPanelSecrets(panelAuth, home)) return 2;
    if (const std::optional<int64_t> expected = OfflineAccount(cl, home)) {
      waiting = std::make_unique<OfflineRobot>(clock, home, *expected);
      panelStatus.setAccount(std::to_string(*expected), "");
    }
    panel =
        StartPanel(waiting ? waiting->robot : robot, panelStatus, panelAuth, *panelOptions, home);
  }
  if (!connection.start()) return 2;
  // One account: the first that connects and proves itself is served.
  std::unique_ptr<onebot::ReverseListener> listener;
  if (options.reverse) {
    listener = std::make_unique<onebot::ReverseListener>(
        clock, listenOptions, [&connection](int64_t selfId) -> onebot::Connection* {
          const int64_t served = connection.account();
          return served == 0 || served == selfId ? &connection : nullptr;
        });
    if (!listener->start()) return 2;
    LogInfo("waiting for a OneBot v11 implementation to connect to ws://" + listener->where() +
            "/ (set it as the reverse WebSocket URL there" +
            (options.accessToken.empty() ? "" : ", with the same access token") + ")");
  } else {
    LogInfo("waiting for a OneBot v11 implementation to accept the WebSocket at " + options.url +
            " (enable its forward WebSocket server there" +
            (options.accessToken.empty() ? "" : ", with the same access token") + ")");
  }
  if (!connection.waitUntilConnected(stop.get_token())) {
    if (listener) listener->stop();
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
    if (listener) listener->stop();
    connection.stop();
    if (stop.stop_requested()) return refused.load() ? 1 : 0;
    LogError("the OneBot implementation does not tell which account is logged in (get_login_info)");
    return 1;
  }
  const std::string nick = host.CQ_getLoginNick();
  panelStatus.setAccount(std::to_string(account), nick);
  if (waiting) {
    // The offline robot saves what the panel changed, then the connected one
    // starts over it; the panel comes back once that startup has read it.
    if (panel) panel->stop();
    panel.reset();
    const int64_t waited = waiting->account;
    waiting->robot.shutdown();
    waiting.reset();
    AdoptWaitingData(home, waited, account);
  }
  LogInfo("logged-in account " + std::to_string(account) + " (" + nick + "); data in " + home +
          "/data/" + std::to_string(account) + "/");

  lifecycle.Initialize(0);
  lifecycle._eventStartup();
  lifecycle._eventEnable();  // the startup sequence runs on the window thread
  const bool startedUp = robot.waitStartedUp(stop.get_token());
  if (startedUp) held.release(stop.get_token());
  if (startedUp && servePanel && !panel) {
    panel = StartPanel(robot, panelStatus, panelAuth, *panelOptions, home, /*announce=*/false);
    if (panel)
      LogInfo("settings panel: now serving the settings of account " + std::to_string(account));
  }
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
  // What was received and not handled is dropped and counted before the link
  // goes, so that no handler starts on an event whose calls could not be sent.
  stopping.store(true);
  if (const size_t early = held.drop())
    LogWarning("stopping: " + std::to_string(early) +
               " events that arrived during the startup were never handled");
  lifecycle.closeEvents();
  if (listener) listener->stop();  // no new link while the last one closes
  connection.stop();  // calls still in flight fail at once (counted), so handlers finish quickly
  // Workers first, then save, then the database: no handler meets a closed one.
  robot.shutdown();
  LogInfo("stopped; settings saved in " + lifecycle.dataDirectory());
  return refused.load() ? 1 : 0;
}

}  // namespace bw::app
