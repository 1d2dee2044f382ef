// Connection: the robot's forward WebSocket to a OneBot v11 implementation.
// One socket carries both directions: API calls go out as
// {"action","params","echo"} and their answers {"status","retcode","data","echo"}
// are matched back by echo; every other frame with a "post_type" is an event and
// goes to the event handler.
//
// The connection keeps itself up: a refused or dropped connection is retried
// with a doubling back-off (waited on the Clock), each attempt logged. A refused
// access token (HTTP 401/403 before the upgrade, or an answer with retcode
// 1403) ends the retries: retrying cannot help until the token is fixed.
//
// Two kinds of call:
// - call() waits for its answer (reads: the caller needs the data). It has a
//   time-out, so an implementation that never answers cannot hang a worker, and
//   fails at once while disconnected.
// - post() sends an acting call without waiting (kicks, mutes, messages: a slow
//   implementation must not hold the queue behind it). Its answer is matched
//   when it comes and handed to the call's handler; no answer within the call
//   time-out is a failure too. While disconnected, posted calls are held in call
//   order and sent first after the reconnect; calls sent but unanswered when the
//   link dropped are sent again (a kick twice is better than none). A held call
//   expires after `maxHeldAge`, and beyond `maxHeldCalls` held calls the oldest
//   expires; an expired call's handler gets the status "expired".
// Frames of both kinds leave in the order the calls were made.
//
// Events are read only as fast as the robot takes them (the event gate):
// while the gate says the robot has no room, the connection stops reading, so
// a burst waits in the socket and at the implementation rather than in memory,
// unless a call() waits for its answer, which must be read whatever comes
// before it. Events read then wait in the connection, the first
// `maxParkedEventBytes` in memory and the rest in an anonymous temporary file
// (up to `maxSpooledEventBytes`; beyond that, or when no file can be written,
// they are dropped, counted and logged), and go on in order once
// resumeEvents() says there is room. While reading is
// paused the answers of posted calls cannot be read either, so their time-out
// counts only reading time.
//
// Reverse connections (ConnectionOptions::reverse): the implementation
// connects to the robot's ReverseListener, which hands each checked socket to
// the account's Connection with adopt(). Such a connection never dials and
// never retries; it is "retrying" between links, and posted calls are held
// for the account's next link exactly as for a forward one. An adopted socket
// becomes the link only once its first event's self_id is the account's (a
// mismatch, or no event within the handshake time-out, closes it with a log
// line and leaves the current link alone); a link so proved replaces the
// current one, which is closed (logged).
//
// Thread-safety: call() and the accessors may be used from any thread. The
// event handler runs on the connection's own thread and must not block on a
// call() (the answer would be read by that same thread).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace bw::onebot {

// Ordered, so that the segments of an array message keep their keys' order.
using Json = nlohmann::ordered_json;

struct ConnectionOptions {
  std::string url = "ws://127.0.0.1:3001";
  std::string accessToken;  // sent as "Authorization: Bearer <token>" when set
  Millis callTimeout{15000};
  Millis connectTimeout{5000};  // TCP connect and WebSocket handshake
  Millis firstRetry{1000};
  Millis maxRetry{30000};
  // Without traffic for this long a keep-alive ping is sent, and the link is
  // considered dead after as long again.
  Millis idleTimeout{60000};
  // Bounds of the acting calls held while the link is down (see post()).
  size_t maxHeldCalls = 10000;
  Millis maxHeldAge{600000};
  // How often unanswered posted calls are checked against their time-out.
  Millis sweepInterval{1000};
  // Events read while the gate is shut (because a call waits for its answer):
  // in memory, then in a temporary file.
  size_t maxParkedEventBytes = 4u << 20;
  size_t maxSpooledEventBytes = size_t{1} << 30;
  // Fed by a ReverseListener instead of dialling `url` (which is then unused).
  bool reverse = false;
  // Reverse: the account this connection serves; 0 takes the first one that
  // proves itself, and only that one afterwards.
  int64_t selfId = 0;
};

struct AcceptedLink;  // onebot/accepted_link.h

// The parts of a "ws://host[:port][/path][?query]" URL.
struct Endpoint {
  std::string host;
  std::string port;
  std::string target;  // path and query, at least "/"
};
// Empty with `error` set for anything but a well-formed ws:// URL.
std::optional<Endpoint> ParseWsUrl(std::string_view url, std::string& error);

enum class LinkState { kIdle, kConnecting, kConnected, kRetrying, kUnauthorized, kStopped };
const char* LinkStateName(LinkState state);

struct CallResult {
  bool ok = false;       // status "ok" or "async"
  int64_t retcode = -1;  // -1 when no answer came
  // as answered, or "timeout", "disconnected", "stopped", "expired" (held too long)
  std::string status;
  std::string message;  // the implementation's explanation, if any
  Json data;
};

class Connection {
 public:
  using EventHandler = std::function<void(const Json& event)>;
  // Asked on the connection's thread before an event is handed on and before
  // the next frame is read: true while the robot has room for more events.
  // Having said false, the gate's owner calls resumeEvents() once it has room.
  using EventGate = std::function<bool()>;
  using StateHandler = std::function<void(LinkState state)>;
  // Runs once per posted call, on the connection's thread or the poster's; it
  // must not block.
  using AnswerHandler = std::function<void(const CallResult& result)>;

  Connection(Clock& clock, ConnectionOptions options);
  ~Connection();  // stop()
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Set before start().
  void setEventHandler(EventHandler handler);
  void setStateHandler(StateHandler handler);
  void setEventGate(EventGate gate);

  // There is room for events again: the waiting ones go on and reading
  // resumes. Any thread; returns at once.
  void resumeEvents();

  // Starts the connection thread; false (and logged) when the URL is unusable.
  bool start();
  // Reverse connections: takes over a socket the listener accepted and
  // checked (see above). Any thread; returns at once. Ignored (the socket
  // closed) on a forward connection or once stopped.
  void adopt(std::unique_ptr<AcceptedLink> link);
  // "ws://host:port" for a forward connection, "the reverse link of account N"
  // for a reverse one: for log lines.
  std::string describe() const;
  // Reverse connections: the account served (0 until a link proved one).
  int64_t account() const;
  // Closes the socket, fails pending calls and joins the thread.
  void stop();
  // stop() for a link given up after staying away too long: the acting calls
  // still held fail as "expired", as the age bound fails them, not "stopped".
  void stopAfterAbsence();
  // Reverse connections: how many adopt() calls have returned. An owner that
  // handed this connection out n times knows, once it reads n here, that no
  // hand-over is still using the object.
  uint64_t adoptions() const;

  CallResult call(std::string_view action, Json params = Json::object(),
                  std::optional<Millis> timeout = std::nullopt);

  // Sends (or, while disconnected, holds) an acting call and returns at once.
  void post(std::string_view action, Json params, AnswerHandler onAnswer = {});

  LinkState state() const;
  // Blocks until connected (true) or until the token was refused, the
  // connection stopped or `stop` was requested (false).
  bool waitUntilConnected(std::stop_token stop = {});
  // Number of connection attempts so far (tests check the back-off).
  uint64_t attempts() const;
  // Events read and waiting for the gate, and those dropped because even that
  // wait was full (tests, the stop report).
  struct EventBacklog {
    size_t parked = 0;
    size_t parkedBytes = 0;
    size_t peakParkedBytes = 0;
    size_t spooledBytes = 0;  // in the temporary file
    size_t peakSpooledBytes = 0;
    uint64_t dropped = 0;
    bool readingPaused = false;
  };
  EventBacklog eventBacklog() const;
  const ConnectionOptions& options() const;

 private:
  struct Impl;
  struct Session;
  std::shared_ptr<Impl> impl_;
};

}  // namespace bw::onebot
