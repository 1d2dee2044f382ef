// PanelServer: the settings panel as web pages served by the robot itself on
// 127.0.0.1 — the compiled-in assets and a JSON API over the live settings
// model, the run log and the feature status. A change made in the panel goes
// through the same setters as the window (so the switches' handlers run) and
// is saved to the settings files at once.
//
// Live updates are polled (`/api/status`, `/api/runlog?after=<id>`), so no open
// page holds a server thread between requests: connections are closed after
// each answer, a bounded pool answers them, and a stop ends within a second.
// A connection reaches the pool only once its whole request has arrived
// within bounds (ui/panel_gate.h): slow or oversized requests never hold it.
//
// Thread-safety: start() and stop() belong to the owner's thread; requests are
// answered on the pool's threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/robot_core.h"
#include "ui/panel_auth.h"
#include "util/clock.h"

namespace bw::ui {

// What the panel's status strip says about the link to the account.
class ConnectionStatus {
 public:
  enum class State { kOffline, kWaiting, kConnected };

  explicit ConnectionStatus(const Clock& clock);
  void set(State state, std::string detail = {});
  void setAccount(std::string account, std::string nick);
  void countEvent() { events_.fetch_add(1); }
  // {"state": "waiting", "text": "...", "since": "yyyy-MM-dd hh:mm:ss", "events": n}
  std::string json() const;

 private:
  const Clock& clock_;
  mutable std::mutex mu_;
  State state_ = State::kOffline;
  std::string detail_;
  SystemTime since_;
  std::string account_;
  std::string nick_;
  std::atomic<int64_t> events_{0};
};

// The robot accounts one panel serves, all behind one login. The switcher
// lists them with their connection state; every other page answers for the
// account a request names in its X-BW-Account header (without one, or with
// only one account, the first). An account's pages serve once its robot has
// started; until then only its connection state shows.
class PanelAccounts {
 public:
  struct Entry {
    int64_t account = 0;
    ConnectionStatus* status = nullptr;
    RobotCore* robot = nullptr;  // null until its startup has run
  };
  // `status` must outlive the panel; adding an account again changes nothing.
  void add(int64_t account, ConnectionStatus& status);
  // The account's robot has started (it must outlive the panel's stop).
  void setRobot(int64_t account, RobotCore& robot);
  // Forgets the account; its status and robot may go once no panel that
  // served from these accounts runs any more (stop it first).
  void remove(int64_t account);
  // The account a request names ("" or a single account: the first).
  std::optional<Entry> find(const std::string& account) const;
  std::vector<Entry> all() const;

 private:
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
};

struct PanelOptions {
  std::string address = "127.0.0.1";
  int port = 8077;  // 0: any free port (tests)
  // A further name the Host header may carry (the name of a machine that
  // listens beyond loopback), "" for none.
  std::string extraHost;
  // The origin of a reverse proxy in front of the panel (e.g.
  // "https://panel.example.com"): pages served through it may make changes.
  std::string proxyOrigin;
  size_t threads = 8;
};

class PanelServer {
 public:
  // `robot` must outlive the server; its settings count as loaded once its
  // startup has run (before that, changes are refused: the startup's restore
  // would overwrite them).
  PanelServer(RobotCore& robot, ConnectionStatus& status, PanelAuth& auth, PanelOptions options);
  // The panel of several accounts (the service of many accounts).
  PanelServer(PanelAccounts& accounts, const Clock& clock, PanelAuth& auth, PanelOptions options);
  ~PanelServer();  // stop()
  PanelServer(const PanelServer&) = delete;
  PanelServer& operator=(const PanelServer&) = delete;

  // Binds and starts answering; false (and a log line) when the address is taken.
  bool start();
  // Stops listening and waits for the requests being answered.
  void stop();

  int port() const { return port_; }
  // "http://127.0.0.1:<port>/"
  std::string baseUrl() const;
  // The URL that logs in with the token: printed once in the log.
  std::string loginUrl() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
  std::atomic<bool> listening_{false};  // the listener thread has not returned yet
  std::thread listener_;
};

}  // namespace bw::ui
