// One robot account of the service of many accounts: its own connection to
// its implementation, its own core (data in DIR/data/<account>/, event queues
// and workers, held calls), started on a thread of its own so that an
// implementation that never answers holds up nothing but its own account.
//
// Thread-safety: start() and stop() belong to the owner's thread; the robot
// and the status may be read from the panel's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "onebot/connection.h"
#include "onebot/event_hold.h"
#include "onebot/image_size.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "ui/panel_server.h"
#include "util/clock.h"
#include "web/web_client.h"
#include "web/web_qq_services.h"
#include "web/web_tokens.h"

namespace bw::app {

struct AccountSetup {
  int64_t account = 0;  // the account the implementation must be logged in as
  onebot::ConnectionOptions connection;
  std::string postgres;  // "" keeps the data in SQLite in the account's data folder
  std::string where;     // where it was configured, for the log ("line 7")
  std::string link;      // how the panel names its link
};

class AccountRunner {
 public:
  // `ready` is called on the runner's thread once the account's startup has
  // run (the panel may serve its pages from then on).
  AccountRunner(Clock& clock, const std::string& home, AccountSetup setup,
                std::function<void(AccountRunner&)> ready);
  ~AccountRunner();  // stop()
  AccountRunner(const AccountRunner&) = delete;
  AccountRunner& operator=(const AccountRunner&) = delete;

  // Connects and starts the account in the background; false (logged) when
  // the connection cannot even begin.
  bool start();
  // Drops what it has not handled, closes the link, stops the workers and
  // saves the account's settings (when its startup had run). Idempotent.
  void stop();
  // stop() for an account whose link stayed away longer than `bound`: its
  // held calls fail as expired, and one line says that its core went and why.
  void release(Millis bound);

  // How long the link has been away (since the runner was made, or since the
  // link dropped), or nullopt while it is up. The listener handing the
  // connection out (offerLink) counts as the implementation being back.
  std::optional<Millis> awayFor() const;
  // Reverse accounts: the connection, handed to the listener, which adopts a
  // socket into it. Call under the owner's lock that also guards release.
  onebot::Connection* offerLink();
  // Every connection handed out by offerLink() has been adopted: nothing but
  // the owner still uses this runner.
  bool handOversDone() const { return connection_.adoptions() == offers_.load(); }

  int64_t account() const { return setup_.account; }
  RobotCore& robot() { return robot_; }
  ui::ConnectionStatus& status() { return status_; }
  onebot::Connection& connection() { return connection_; }
  bool startedUp() const { return robot_.startedUp(); }

 private:
  void run(std::stop_token stop);

  Clock& clock_;
  const std::string home_;
  const AccountSetup setup_;
  std::function<void(AccountRunner&)> ready_;

  onebot::Connection connection_;
  onebot::OneBotHost host_;
  WebClient web_;
  WebTokens tokens_;
  WebQqServices webQq_;
  onebot::OneBotQqServices qq_;
  Lifecycle lifecycle_;
  onebot::UrlImageInfo images_;
  RobotCore robot_;
  ui::ConnectionStatus status_;
  EventHandlers entryPoints_;
  onebot::EventHold held_;
  std::atomic<bool> stopping_{false};
  bool stopped_ = false;
  void shutDown(bool absent);
  mutable std::mutex awayMu_;
  std::optional<SystemTime> awaySince_;  // under awayMu_
  std::atomic<uint64_t> offers_{0};
  std::stop_source stop_;
  std::thread thread_;
};

}  // namespace bw::app
