#include "account_runner.h"

#include <algorithm>

#include "onebot/events.h"
#include "onebot/json_fields.h"
#include "storage/schema.h"
#include "util/log.h"

namespace bw::app {
namespace {

CoreOptions CoreFor(ImageInfo& images, const std::string& postgres) {
  CoreOptions core;
  core.images = &images;
  if (!postgres.empty()) {
    core.connectDatabase = [postgres](Database& db) {
      return DeployAndConnectPostgres(db, postgres);
    };
  }
  return core;
}

}  // namespace

AccountRunner::AccountRunner(Clock& clock, const std::string& home, AccountSetup setup,
                             std::function<void(AccountRunner&)> ready)
    : clock_(clock),
      home_(home),
      setup_(std::move(setup)),
      ready_(std::move(ready)),
      connection_(clock, setup_.connection),
      host_(connection_),
      webQq_(web_, tokens_, WebServiceUrls::FromEnvironment()),
      qq_(connection_, webQq_),
      lifecycle_(host_, clock, qq_, home, QueueMode::kLingering),
      images_(lifecycle_.settings()),
      robot_(lifecycle_, CoreFor(images_, setup_.postgres)),
      status_(clock),
      entryPoints_(LifecycleEntryPoints(lifecycle_)),
      held_([this](const onebot::Json& event) { onebot::RouteEvent(event, entryPoints_); }) {
  host_.setRunLog(&lifecycle_.runLog());
  lifecycle_.runLog().setServiceLogPrefix("account " + std::to_string(setup_.account) + ": ");
  LifecycleHooks hooks = robot_.hooks();
  hooks.webTokens = [this](Lifecycle& p) {
    tokens_.setLoginCookies(p.cookies());
    tokens_.setBkn(p.csrfToken());
  };
  lifecycle_.setHooks(hooks);
  status_.setAccount(std::to_string(setup_.account), "");
  status_.set(ui::ConnectionStatus::State::kWaiting, setup_.link);

  // The same flow as the service of one account: events are read only as
  // fast as this account's robot takes them, and wait for its startup.
  held_.setDownstream(&lifecycle_.eventBudget());
  held_.setRoomListener([this] { connection_.resumeEvents(); });
  lifecycle_.eventBudget().setRoomListener([this] { connection_.resumeEvents(); });
  connection_.setEventGate([this] { return !stopping_.load() && held_.hasRoom(); });
  connection_.setEventHandler([this](const onebot::Json& event) {
    status_.countEvent();
    if (onebot::TextField(event, "post_type") == "request" &&
        onebot::TextField(event, "request_type") == "group") {
      host_.noteRequest(onebot::TextField(event, "flag"),
                        onebot::IntField(event, "group_id").value_or(0),
                        onebot::IntField(event, "user_id").value_or(0));
    }
    held_.onEvent(event);
  });
  awaySince_ = clock_.now();
  connection_.setStateHandler([this](onebot::LinkState state) {
    const std::string& url = setup_.link;
    {
      std::lock_guard lock(awayMu_);
      if (state == onebot::LinkState::kConnected)
        awaySince_.reset();
      else if (!awaySince_)
        awaySince_ = clock_.now();
    }
    if (state == onebot::LinkState::kConnected) {
      status_.set(ui::ConnectionStatus::State::kConnected, url);
    } else if (state == onebot::LinkState::kConnecting || state == onebot::LinkState::kRetrying) {
      status_.set(ui::ConnectionStatus::State::kWaiting, url);
    } else if (state == onebot::LinkState::kUnauthorized) {
      // Only this account stops trying; the others run on.
      LogError("account " + std::to_string(setup_.account) + ": " + url +
               " refused the access token; this account stays offline until the token is fixed "
               "and the service restarted");
      status_.set(ui::ConnectionStatus::State::kOffline, "访问令牌被拒绝");
    }
  });
}

AccountRunner::~AccountRunner() {
  stop();
  host_.setRunLog(nullptr);
}

bool AccountRunner::start() {
  if (!connection_.start()) return false;
  if (!setup_.connection.reverse)
    LogInfo("account " + std::to_string(setup_.account) +
            ": waiting for its OneBot implementation at " + setup_.link);
  thread_ = std::thread([this] { run(stop_.get_token()); });
  return true;
}

void AccountRunner::run(std::stop_token stop) {
  const std::string name = "account " + std::to_string(setup_.account);
  if (!connection_.waitUntilConnected(stop)) return;
  int64_t loggedIn = 0;
  for (int attempt = 0; attempt < 30 && !stop.stop_requested(); ++attempt) {
    loggedIn = host_.CQ_getLoginQQ();
    if (loggedIn > 0) break;
    clock_.sleepFor(std::chrono::seconds(2), stop);
  }
  if (stop.stop_requested()) return;
  if (loggedIn != setup_.account) {
    // Its data must never be mixed with another account's: it stays offline.
    LogError(name + " (" + setup_.where + "): the implementation at " + setup_.link +
             (loggedIn > 0 ? " is logged in as " + std::to_string(loggedIn)
                           : " does not tell which account is logged in (get_login_info)") +
             "; this account is not started");
    stopping_.store(true);
    connection_.stop();
    status_.set(ui::ConnectionStatus::State::kOffline,
                loggedIn > 0 ? "登录的是账号 " + std::to_string(loggedIn) : "未能获取登录账号");
    return;
  }
  const std::string nick = host_.CQ_getLoginNick();
  if (stop.stop_requested()) return;
  status_.setAccount(std::to_string(setup_.account), nick);
  LogInfo(name + " (" + nick + "): connected; data in " + home_ + "/data/" +
          std::to_string(setup_.account) + "/");
  lifecycle_.Initialize(0);
  lifecycle_._eventStartup();
  lifecycle_._eventEnable();
  if (!robot_.waitStartedUp(stop)) return;
  held_.release(stop);
  LogInfo(name + ": running");
  if (ready_) ready_(*this);
  if (lifecycle_.lists().groups.rowCount() == 0 && !stop.stop_requested()) {
    // A first start lists the groups itself, as the service of one account does.
    robot_.modules.memberRefresh.refreshGroupList();
    LogInfo(name + ": the group list has " + std::to_string(lifecycle_.lists().groups.rowCount()) +
            " groups the robot owns or administers, " +
            std::to_string(lifecycle_.managedGroups().size()) +
            " of them managed; tick them in the panel or in " + lifecycle_.dataDirectory() +
            "群列表.txt");
  }
}

std::optional<Millis> AccountRunner::awayFor() const {
  std::lock_guard lock(awayMu_);
  if (!awaySince_) return std::nullopt;
  return std::max(Millis(0), std::chrono::duration_cast<Millis>(clock_.now() - *awaySince_));
}

onebot::Connection* AccountRunner::offerLink() {
  {
    std::lock_guard lock(awayMu_);
    if (awaySince_) awaySince_ = clock_.now();
  }
  ++offers_;
  return &connection_;
}

void AccountRunner::stop() { shutDown(false); }

void AccountRunner::release(Millis bound) {
  if (stopped_) return;
  const bool started = robot_.startedUp();
  shutDown(true);
  const std::string seconds = std::to_string(bound.count() / 1000) + " s";
  LogInfo("account " + std::to_string(setup_.account) + ": its implementation stayed away " +
          "longer than " + seconds + " (the bound of its held calls): its core is released" +
          (started ? ", its settings saved in " + lifecycle_.dataDirectory()
                   : " (it had not started)") +
          "; it starts again from its data folder when it connects");
}

void AccountRunner::shutDown(bool absent) {
  if (stopped_) return;
  stopped_ = true;
  stop_.request_stop();
  stopping_.store(true);
  const std::string name = "account " + std::to_string(setup_.account);
  if (const size_t early = held_.drop())
    LogWarning(name + ": " + std::to_string(early) +
               " events that arrived during the startup were never handled");
  lifecycle_.closeEvents();
  // A call the startup waits for fails at once.
  if (absent)
    connection_.stopAfterAbsence();
  else
    connection_.stop();
  if (thread_.joinable()) thread_.join();
  const bool started = robot_.startedUp();
  robot_.shutdown();
  if (started && !absent)
    LogInfo(name + ": stopped; settings saved in " + lifecycle_.dataDirectory());
}

}  // namespace bw::app
