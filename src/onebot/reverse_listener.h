// ReverseListener: OneBot v11 implementations connect to the robot (the
// "reverse WebSocket"), instead of the robot dialling them.
//
// The listener accepts TCP connections on one address, reads each upgrade
// request and checks it before any WebSocket exists:
// - the path is "/" or "/onebot/v11/ws" (the universal endpoint; anything
//   else is 404);
// - the access token, as "Authorization: Bearer <token>" or
//   "?access_token=<token>", compared in constant time; a missing or wrong
//   one is refused with 401 and logged at most once per source address and
//   minute (a misconfigured implementation retries every few seconds);
// - the account, a number in the "X-Self-ID" header (400 without one).
// The owner is then asked for the account's Connection (403 when refused),
// which takes the socket over (Connection::adopt), upgrades it and checks the
// first event's self_id against the header.
//
// Bad input cannot cost the connected accounts anything: at most `maxPending`
// connections wait for their request to be read and checked (more are closed
// at once, counted and logged once per minute); each has `handshakeTimeout`
// (on the Clock) from the accept until its first event; a request larger
// than `maxRequestBytes` is refused with 431.
//
// Thread-safety: start() and stop() from one thread; the accessors from any.
// `AccountFor` runs on the listener's thread and must not block.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "onebot/connection.h"
#include "util/clock.h"

namespace bw::onebot {

struct ListenOptions {
  // Loopback unless another address is named: the token is all that guards it.
  std::string address = "127.0.0.1";
  uint16_t port = 0;  // 0 picks a free port (tests)
  std::string accessToken;
  // Connections accepted whose upgrade request is not yet read and checked.
  size_t maxPending = 64;
  // From the accept to the first event over the upgraded link.
  Millis handshakeTimeout{5000};
  size_t maxRequestBytes = 16 * 1024;
  // How often pending connections are checked against their time-out.
  Millis sweepInterval{500};
};

// "[ADDRESS:]PORT": "6700", "0.0.0.0:6700", "[::1]:6700". False with `error`
// set for anything else (a port from 1 to 65535 is required).
bool ParseListenAddress(std::string_view text, ListenOptions& options, std::string& error);

class ReverseListener {
 public:
  // Asked once per checked upgrade request with its X-Self-ID account:
  // the account's Connection (made with ConnectionOptions::reverse, created
  // on first use by the owner and kept across reconnects), or nullptr to
  // refuse it (an account not allowed, or over the bound): answered 403 and
  // logged.
  using AccountFor = std::function<Connection*(int64_t selfId)>;

  ReverseListener(Clock& clock, ListenOptions options, AccountFor accountFor);
  ~ReverseListener();  // stop()
  ReverseListener(const ReverseListener&) = delete;
  ReverseListener& operator=(const ReverseListener&) = delete;

  // Binds and starts accepting; false (and logged) when the address cannot
  // be bound or is no IP address.
  bool start();
  // Stops accepting and closes the connections not yet handed over (the
  // Connections stop on their own).
  void stop();
  // The bound port (after start()).
  uint16_t port() const;
  // "ADDRESS:PORT" as bound, for log lines and the README's examples.
  std::string where() const;

  // What the listener has done so far (tests, the stop report).
  struct Stats {
    size_t pending = 0;       // accepted, not yet handed over or closed
    uint64_t accepted = 0;    // TCP connections accepted
    uint64_t handedOver = 0;  // to an account's Connection
    uint64_t unauthorized = 0;
    uint64_t refused = 0;    // no such path, no X-Self-ID, account refused, malformed request
    uint64_t overLimit = 0;  // closed at once: `maxPending` were waiting
    uint64_t timedOut = 0;   // no complete request within the handshake time-out
  };
  Stats stats() const;
  const ListenOptions& options() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace bw::onebot
