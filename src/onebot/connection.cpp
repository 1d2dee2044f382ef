#include "onebot/connection.h"

#include <unistd.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "onebot/accepted_link.h"
#include "onebot/json_fields.h"
#include "util/log.h"
#include "util/memory.h"
#include "web/json_nesting.h"

namespace bw::onebot {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;

namespace {

constexpr int64_t kRetcodeBadToken = 1403;
constexpr size_t kMaxFrameBytes = 64u << 20;   // member lists of large groups are big
constexpr size_t kKeptBufferBytes = 1u << 20;  // the read buffer kept between frames
// An adopted socket has not proved its account yet: its first frame is small.
constexpr size_t kMaxFirstFrameBytes = 1u << 20;
// Adopted sockets of one account waiting for their first event at once.
constexpr size_t kMaxCandidates = 4;

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string EchoKey(const Json& echo) {
  return echo.is_string() ? echo.get<std::string>() : echo.dump();
}

int64_t RetcodeOf(const Json& frame) {
  auto it = frame.find("retcode");
  if (it == frame.end()) return 0;
  if (it->is_number_integer()) return it->get<int64_t>();
  // A retcode sent as text; one that does not fit a number is a failure too.
  int64_t code = -1;
  if (it->is_string() && AllDigits(it->get<std::string>())) {
    const std::string text = it->get<std::string>();
    if (std::from_chars(text.data(), text.data() + text.size(), code).ec != std::errc{}) code = -1;
  }
  return code;
}

std::string AnswerMessage(const Json& frame) {
  for (const char* key : {"wording", "message", "msg"}) {
    auto it = frame.find(key);
    if (it != frame.end() && it->is_string() && !it->get<std::string>().empty())
      return it->get<std::string>();
  }
  return {};
}

// What an answer frame says, as a CallResult.
CallResult ResultOf(const Json& answer) {
  CallResult result;
  result.retcode = RetcodeOf(answer);
  if (auto it = answer.find("status"); it != answer.end() && it->is_string())
    result.status = it->get<std::string>();
  result.message = AnswerMessage(answer);
  if (auto it = answer.find("data"); it != answer.end()) result.data = *it;
  result.ok = (result.status == "ok" || result.status == "async") &&
              (result.retcode == 0 || result.retcode == 1);
  return result;
}

CallResult Failure(std::string status, std::string message = {}) {
  CallResult result;
  result.status = std::move(status);
  result.message = std::move(message);
  return result;
}

// The sequence number inside one of our echoes ("bw-<n>"), 0 for any other echo.
uint64_t EchoSequence(const std::string& echo) {
  if (!echo.starts_with("bw-")) return 0;
  uint64_t n = 0;
  if (std::from_chars(echo.data() + 3, echo.data() + echo.size(), n).ec != std::errc{}) return 0;
  return n;
}

std::string Seconds(Millis d) {
  if (d.count() % 1000 == 0) return std::to_string(d.count() / 1000) + " s";
  return std::to_string(d.count()) + " ms";
}

}  // namespace

std::optional<Endpoint> ParseWsUrl(std::string_view url, std::string& error) {
  constexpr std::string_view kScheme = "ws://";
  if (url.starts_with("wss://")) {
    error =
        "wss:// (TLS) is not supported; connect with ws:// to an implementation on this machine";
    return std::nullopt;
  }
  if (!url.starts_with(kScheme)) {
    error = "the OneBot URL must start with ws://";
    return std::nullopt;
  }
  std::string_view rest = url.substr(kScheme.size());
  const size_t split = rest.find_first_of("/?#");
  std::string_view authority = rest.substr(0, split);
  Endpoint ep;
  ep.target = split == std::string_view::npos ? "/" : std::string(rest.substr(split));
  if (const size_t hash = ep.target.find('#'); hash != std::string::npos) ep.target.resize(hash);
  if (ep.target.empty() || ep.target[0] != '/') ep.target.insert(0, "/");
  if (authority.find('@') != std::string_view::npos) {
    error = "user names in the OneBot URL are not supported; give the token with --token";
    return std::nullopt;
  }
  std::string_view port;
  if (authority.starts_with("[")) {  // [IPv6]:port
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      error = "unbalanced [ in the OneBot URL";
      return std::nullopt;
    }
    ep.host = std::string(authority.substr(1, close - 1));
    std::string_view after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after[0] != ':') {
        error = "unexpected text after the address in the OneBot URL";
        return std::nullopt;
      }
      port = after.substr(1);
    }
  } else {
    const size_t colon = authority.rfind(':');
    ep.host = std::string(authority.substr(0, colon));
    if (colon != std::string_view::npos) port = authority.substr(colon + 1);
  }
  if (ep.host.empty()) {
    error = "the OneBot URL names no host";
    return std::nullopt;
  }
  if (port.empty()) port = "80";
  if (!AllDigits(port) || port.size() > 5 || std::stoi(std::string(port)) == 0 ||
      std::stoi(std::string(port)) > 65535) {
    error = "the port of the OneBot URL is not a number from 1 to 65535";
    return std::nullopt;
  }
  ep.port = std::string(port);
  return ep;
}

const char* LinkStateName(LinkState state) {
  switch (state) {
    case LinkState::kIdle:
      return "idle";
    case LinkState::kConnecting:
      return "connecting";
    case LinkState::kConnected:
      return "connected";
    case LinkState::kRetrying:
      return "waiting to retry";
    case LinkState::kUnauthorized:
      return "access token refused";
    case LinkState::kStopped:
      return "stopped";
  }
  return "?";
}

namespace {

enum class Outcome { kNone, kConnectFailed, kLost, kUnauthorized, kStopped };

struct Pending {
  std::optional<Json> answer;
  std::string failure;  // "disconnected", ... when the call ended without an answer
  std::stop_source done;
};

// A posted (acting) call, from post() until its answer or failure.
struct Posted {
  std::string action;
  std::string frame;
  SystemTime madeAt;
  std::optional<SystemTime> sentAt;  // unset while held for the link
  bool sentOnLostLink = false;       // held again after a drop
  Connection::AnswerHandler onAnswer;
};

// Handlers to run once the lock is released.
using Outcomes = std::vector<std::pair<Connection::AnswerHandler, CallResult>>;

void Deliver(Outcomes& outcomes) {
  for (auto& [handler, result] : outcomes) {
    if (!handler) continue;
    try {
      handler(result);
    } catch (const std::exception& e) {
      LogWarning(std::string("OneBot: answer handler failed: ") + e.what());
    }
  }
  outcomes.clear();
}

}  // namespace

struct Connection::Impl {
  Impl(Clock& clock, ConnectionOptions options)
      : clock(clock),
        options(std::move(options)),
        label(!this->options.reverse ? this->options.url
              : this->options.selfId != 0
                  ? "the reverse link of account " + std::to_string(this->options.selfId)
                  : std::string("the reverse link")),
        account(this->options.selfId) {}

  Clock& clock;
  const ConnectionOptions options;
  const std::string label;  // for log lines: the URL, or which account's reverse link
  Endpoint endpoint;
  EventHandler onEvent;
  StateHandler onState;

  mutable std::mutex mu;
  std::condition_variable_any stateCv;
  LinkState state = LinkState::kIdle;
  std::map<std::string, std::shared_ptr<Pending>> pending;
  uint64_t nextEcho = 1;
  std::shared_ptr<Session> attempt;  // the session being tried or running
  std::shared_ptr<Session> session;  // set only while connected
  std::atomic<uint64_t> attempts{0};
  std::stop_source stopSource;
  std::jthread thread;
  // Posted calls by sequence number, which is call order.
  std::map<uint64_t, Posted> posted;
  size_t heldCount = 0;  // posted calls not yet sent on the current link
  std::jthread sweeper;  // started with the first post()
  // Reading is paused for the event gate: answers cannot be read meanwhile,
  // so posted calls' time-outs count from the last resumption (guarded by mu).
  bool readingPaused = false;
  SystemTime readingResumedAt{};
  size_t postedBacklog = 0;  // the most posted calls at once since they last drained
  // Reverse: links handed over with adopt() so far (guarded by mu).
  uint64_t adoptions = 0;
  // Stopped because the link stayed away too long: the calls still held then
  // fail as expired, as the age bound fails them (guarded by mu).
  bool expireHeldAtStop = false;

  // Under mu: true once the last of a backlog of thousands of posted calls is
  // done with (its memory can go back); the count starts anew whenever none
  // is posted.
  bool backlogDrainedLocked() {
    if (!posted.empty()) return false;
    const bool drained = postedBacklog > 1000;
    postedBacklog = 0;
    return drained;
  }

  // Events waiting for the gate, as their frames' text (a parsed event takes
  // several times the memory): the first few megabytes in memory, the rest in
  // an anonymous temporary file, in arrival order. Filled and emptied on the
  // connection's thread; eventsMu guards them for eventBacklog() and stop().
  EventGate eventGate;
  mutable std::mutex eventsMu;
  std::deque<std::string> parkedEvents;
  size_t parkedBytes = 0;
  size_t peakParkedBytes = 0;
  std::FILE* spool = nullptr;
  uint64_t spoolRead = 0;  // offsets of the next event to read and of the end
  uint64_t spoolWrite = 0;
  size_t spooled = 0;  // events in the file
  size_t peakSpooledBytes = 0;
  bool spoolFailed = false;        // said once
  uint64_t droppedEvents = 0;      // since the start
  uint64_t droppedUnreported = 0;  // since the last log line about drops

  // Reverse connections: one I/O context, run on the connection's thread,
  // carries every adopted socket of the account; `session` is the proved one.
  std::unique_ptr<net::io_context> reverseIoc;
  std::optional<net::executor_work_guard<net::io_context::executor_type>> reverseWork;
  std::vector<std::shared_ptr<Session>> candidates;  // adopted, first event awaited (mu)
  int64_t account = 0;   // the account served; 0 until a link proves one (mu)
  int liveSessions = 0;  // begun and not yet ended (I/O thread)

  void adoptLink(std::unique_ptr<AcceptedLink> link);
  // True when `selfId` is the account served (taken, when none was yet).
  bool bindAccount(int64_t selfId) {
    std::lock_guard lock(mu);
    if (account == 0) account = selfId;
    return account == selfId;
  }
  int64_t boundAccount() const {
    std::lock_guard lock(mu);
    return account;
  }
  void prove(const std::shared_ptr<Session>& s);
  void sessionEnded(Session& s);
  void expireCandidatesLocked(SystemTime now);
  void closeAllReverse();
  void runReverse();

  std::string nextEchoLocked() { return "bw-" + std::to_string(nextEcho++); }

  void sendLocked(const std::shared_ptr<Session>& s, std::string text);
  // Reading resumes for an answer (or for events, when there is room).
  void wakeReaderLocked(const std::shared_ptr<Session>& s);

  // Sends the held calls in order (or expires them); with the lock held.
  void flushHeldLocked(Outcomes& out) {
    const SystemTime now = clock.now();
    for (auto it = posted.begin(); it != posted.end();) {
      Posted& p = it->second;
      if (p.sentAt) {
        ++it;
        continue;
      }
      if (now - p.madeAt > options.maxHeldAge) {
        out.emplace_back(std::move(p.onAnswer), expiredResult());
        it = posted.erase(it);
        --heldCount;
        continue;
      }
      p.sentAt = now;
      --heldCount;
      sendLocked(session, p.frame);
      ++it;
    }
  }

  CallResult expiredResult() const {
    return Failure("expired", "held longer than " + Seconds(options.maxHeldAge) + " while " +
                                  (options.reverse ? label : "the link to " + label) + " was down");
  }

  // Time-outs of sent calls and the age bound of held ones; with the lock held.
  void sweepLocked(Outcomes& out) {
    const SystemTime now = clock.now();
    for (auto it = posted.begin(); it != posted.end();) {
      Posted& p = it->second;
      if (overdueLocked(p, now)) {
        out.emplace_back(std::move(p.onAnswer),
                         Failure("timeout", "no answer within " + Seconds(options.callTimeout)));
        it = posted.erase(it);
      } else if (!p.sentAt && now - p.madeAt > options.maxHeldAge) {
        out.emplace_back(std::move(p.onAnswer), expiredResult());
        it = posted.erase(it);
        --heldCount;
      } else {
        ++it;
      }
    }
  }

  void sweepLoop(std::stop_token stop) {
    while (clock.sleepFor(options.sweepInterval, stop)) {
      Outcomes out;
      bool drained = false;
      {
        std::lock_guard lock(mu);
        sweepLocked(out);
        drained = backlogDrainedLocked();
        if (options.reverse) expireCandidatesLocked(clock.now());
      }
      Deliver(out);
      // Thousands of calls held through an outage leave their memory in the
      // heap once done with; it goes back to the system when all are.
      if (drained) ReturnFreedMemory();
    }
  }

  void setState(LinkState s) {
    {
      std::lock_guard lock(mu);
      if (state == s) return;
      state = s;
    }
    stateCv.notify_all();
    if (onState) onState(s);
  }

  void connected(std::shared_ptr<Session> s) {
    Outcomes out;
    size_t held = 0;
    {
      std::lock_guard lock(mu);
      session = std::move(s);
      held = heldCount;
      // Before any new call can be sent: the held ones go first.
      flushHeldLocked(out);
    }
    if (!options.reverse) LogInfo("OneBot: connected to " + options.url);
    if (held > 0)
      LogInfo("OneBot: sending " + std::to_string(held - out.size()) +
              " acting calls held while the link was down");
    Deliver(out);
    setState(LinkState::kConnected);
  }

  // The link is gone: no call may wait for an answer that cannot come, and
  // posted calls not answered yet are held for the next link.
  void disconnected(const std::string& why) {
    bool wasConnected = false;
    {
      std::lock_guard lock(mu);
      // The state changes before any waiting call learns of the drop, so a
      // caller that waits for the link then waits for the next one.
      wasConnected = state == LinkState::kConnected;
      failAllLocked(why);
    }
    if (wasConnected) {
      stateCv.notify_all();
      if (onState) onState(LinkState::kRetrying);
    }
  }

  void failAllLocked(const std::string& why) {
    if (state == LinkState::kConnected) state = LinkState::kRetrying;
    session.reset();
    for (auto& [echo, p] : pending) {
      p->failure = why;
      p->done.request_stop();
    }
    // At a stop nothing is sent again: a sent call stays what it was.
    if (stopSource.stop_requested()) return;
    for (auto& [seq, p] : posted) {
      if (!p.sentAt) continue;
      p.sentAt.reset();
      p.sentOnLostLink = true;
      ++heldCount;
    }
  }

  void dispatch(std::string_view text, Session& s);
  void run(std::stop_token stop);

  // The calls and events a stop leaves undone: each call's handler learns how
  // far it got, and one log line gives the counts.
  Outcomes failLeftAtStop(bool linkUp) {
    Outcomes out;
    size_t sent = 0, held = 0, heldAfterDrop = 0;
    bool many = false;
    bool expiring = false;
    {
      std::lock_guard lock(mu);
      expiring = expireHeldAtStop;
      for (auto& [seq, p] : posted) {
        std::string why;
        if (p.sentAt) {
          ++sent;
          why = linkUp ? "the service stopped before the answer came"
                       : "the service stopped before the answer came; the link was down";
        } else if (expireHeldAtStop) {
          ++held;
          heldAfterDrop += p.sentOnLostLink ? 1 : 0;
          out.emplace_back(std::move(p.onAnswer),
                           Failure("expired", "held while " + label +
                                                  " was down, which stayed away longer than " +
                                                  Seconds(options.maxHeldAge)));
          continue;
        } else {
          ++held;
          heldAfterDrop += p.sentOnLostLink ? 1 : 0;
          why = p.sentOnLostLink ? "sent before the link dropped, unanswered, and held since; the "
                                   "service stopped before the link came back"
                                 : "the service stopped before the link came back";
        }
        out.emplace_back(std::move(p.onAnswer), Failure("stopped", why));
      }
      many = posted.size() > 1000;
      posted.clear();
      heldCount = 0;
    }
    if (many) ReturnFreedMemory();
    size_t parked = 0;
    uint64_t dropped = 0;
    {
      std::lock_guard lock(eventsMu);
      parked = parkedEvents.size() + spooled;
      dropped = droppedUnreported;
      parkedEvents.clear();
      parkedBytes = 0;
      closeSpoolLocked();
      droppedUnreported = 0;
    }
    if (sent + held + parked + dropped > 0) {
      std::string line = "OneBot: stopped with ";
      line +=
          std::to_string(sent) + " acting calls sent and unanswered (the link was " +
          (linkUp ? "up" : "down") + "), " + std::to_string(held) +
          (expiring ? " held while the link was down, expired" : " held while the link was down");
      if (heldAfterDrop > 0)
        line += " (" + std::to_string(heldAfterDrop) + " of them sent before a drop)";
      line += ", " + std::to_string(parked) + " events read but not yet handed on";
      if (dropped > 0)
        line += ", " + std::to_string(dropped) + " dropped while the queues were full";
      LogWarning(line);
    }
    return out;
  }

  // --- events and the gate (connection thread) ---
  bool gateOpen() { return !eventGate || eventGate(); }
  bool answerAwaited() const {
    std::lock_guard lock(mu);
    return !pending.empty();
  }
  bool noneParked() const {
    std::lock_guard lock(eventsMu);
    return parkedEvents.empty() && spooled == 0;
  }
  // Whether more events may be read now.
  bool mayReadEvents() { return noneParked() && gateOpen(); }
  void setReadingPaused(bool paused) {
    std::lock_guard lock(mu);
    readingPaused = paused;
    if (!paused) readingResumedAt = clock.now();
  }
  // Whether a sent posted call has waited out its time-out; with mu held.
  bool overdueLocked(const Posted& p, SystemTime now) const {
    return p.sentAt && !readingPaused &&
           now - std::max(*p.sentAt, readingResumedAt) >= options.callTimeout;
  }

  void deliverEvent(const Json& event, std::string_view text) {
    if (!onEvent) return;
    try {
      onEvent(event);
    } catch (const std::exception& e) {
      LogWarning(std::string("OneBot: event dropped (") + e.what() + "): " + Excerpt(text));
    }
  }

  // An event read: handed on at once when the robot has room and none waits
  // before it, else kept in order (or dropped when even the file is full).
  void offerEvent(const Json& event, std::string_view text, Session& s);
  void offerEventLocked(std::string_view text) {
    if (spooled == 0 && parkedBytes + text.size() <= options.maxParkedEventBytes) {
      parkedEvents.emplace_back(text);
      parkedBytes += text.size();
      peakParkedBytes = std::max(peakParkedBytes, parkedBytes);
      return;
    }
    if (spoolLocked(text)) return;
    ++droppedEvents;
    if (droppedUnreported++ == 0)
      LogWarning(
          "OneBot: the robot's event queues are full while a call waits for its answer, "
          "and no more events can wait: later events are dropped until there is room");
  }

  // Appends an event to the temporary file; false when it cannot.
  bool spoolLocked(std::string_view text) {
    if (spoolWrite - spoolRead + text.size() > options.maxSpooledEventBytes) return false;
    if (spool == nullptr) {
      spool = std::tmpfile();
      if (spool == nullptr) {
        if (!spoolFailed)
          LogWarning(std::string("OneBot: cannot make a temporary file for waiting events: ") +
                     std::strerror(errno));
        spoolFailed = true;
        return false;
      }
      LogInfo(
          "OneBot: the robot's event queues are full while a call waits for its answer: the "
          "events read meanwhile wait in a temporary file");
    }
    const auto size = static_cast<uint32_t>(text.size());
    if (std::fseek(spool, static_cast<long>(spoolWrite), SEEK_SET) != 0 ||
        std::fwrite(&size, sizeof size, 1, spool) != 1 ||
        (size > 0 && std::fwrite(text.data(), size, 1, spool) != 1)) {
      if (!spoolFailed) LogWarning("OneBot: cannot write waiting events to a temporary file");
      spoolFailed = true;
      return false;
    }
    spoolWrite += sizeof size + size;
    ++spooled;
    peakSpooledBytes = std::max<size_t>(peakSpooledBytes, spoolWrite - spoolRead);
    return true;
  }

  // The oldest waiting event; false when none waits.
  bool takeParkedLocked(std::string& text) {
    if (!parkedEvents.empty()) {
      text = std::move(parkedEvents.front());
      parkedEvents.pop_front();
      parkedBytes -= text.size();
      return true;
    }
    if (spooled == 0) return false;
    uint32_t size = 0;
    bool ok = std::fseek(spool, static_cast<long>(spoolRead), SEEK_SET) == 0 &&
              std::fread(&size, sizeof size, 1, spool) == 1;
    if (ok) {
      text.resize(size);
      ok = size == 0 || std::fread(text.data(), size, 1, spool) == 1;
    }
    if (!ok) {
      LogWarning("OneBot: cannot read " + std::to_string(spooled) +
                 " waiting events back from their temporary file; they are dropped");
      droppedEvents += spooled;
      closeSpoolLocked();
      return false;
    }
    spoolRead += sizeof size + size;
    if (--spooled == 0) closeSpoolLocked();
    return true;
  }

  void closeSpoolLocked() {
    if (spool != nullptr) std::fclose(spool);  // an anonymous file: this deletes it
    spool = nullptr;
    spoolRead = spoolWrite = 0;
    spooled = 0;
  }

  // Hands on the waiting events, in order, while the gate lets them pass.
  void deliverParked() {
    bool drained = false;
    size_t delivered = 0;
    while (gateOpen()) {
      std::string text;
      {
        std::lock_guard lock(eventsMu);
        if (!takeParkedLocked(text)) {
          drained = true;
          break;
        }
      }
      deliverEvent(ParseFrame(text).value, text);
      ++delivered;
    }
    uint64_t dropped = 0;
    {
      std::lock_guard lock(eventsMu);
      if (drained) {
        dropped = droppedUnreported;
        droppedUnreported = 0;
        if (delivered > 0) parkedEvents.shrink_to_fit();
      }
    }
    if (dropped > 0)
      LogWarning("OneBot: " + std::to_string(dropped) +
                 " events were dropped while the robot's queues were full");
    if (drained && delivered > 1000) ReturnFreedMemory();
  }
};

struct Connection::Session : std::enable_shared_from_this<Connection::Session> {
  Session(net::io_context& ioc, Impl& impl) : ioc(ioc), impl(impl), resolver(ioc), ws(ioc) {}
  // An adopted socket (reverse connections); throws when the handle is unusable.
  Session(net::io_context& ioc, Impl& impl, std::unique_ptr<AcceptedLink> adopted)
      : ioc(ioc),
        impl(impl),
        resolver(ioc),
        ws(tcp::socket(ioc, adopted->protocol, adopted->handle)),
        link(std::move(adopted)) {
    link->handle = -1;  // the socket owns it now
    deadline = link->deadline;
  }

  net::io_context& ioc;  // this session's alone: stopping it ends the attempt
  Impl& impl;
  tcp::resolver resolver;
  websocket::stream<beast::tcp_stream> ws;
  beast::flat_buffer buffer;
  websocket::response_type response;
  std::deque<std::string> writes;
  bool isConnected = false;
  bool closing = false;
  bool paused = false;  // no read pending: the robot has no room for events
  Outcome outcome = Outcome::kNone;
  std::string reason;
  // Reverse connections only.
  std::unique_ptr<AcceptedLink> link;  // the upgrade request, until answered
  SystemTime deadline{};               // for the first event
  bool expiring = false;               // the sweep found the deadline passed (mu)
  bool ended = false;

  std::string peer() const { return link ? link->peer : std::string("?"); }

  // Answers the upgrade request the listener checked; the first frame must
  // then be an event of the account.
  void accept() {
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = impl.options.connectTimeout;
    timeouts.idle_timeout = impl.options.idleTimeout;
    timeouts.keep_alive_pings = true;
    ws.set_option(timeouts);
    ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
      res.set(http::field::server, std::string("brindle-warden/") + BW_VERSION);
    }));
    ws.read_message_max(kMaxFirstFrameBytes);
    ws.async_accept(link->request,
                    [self = shared_from_this()](beast::error_code ec) { self->onAccepted(ec); });
  }

  void onAccepted(beast::error_code ec) {
    link->request = {};  // answered: its memory can go
    if (ec) {
      LogWarning("OneBot: the WebSocket upgrade of a connection from " + peer() + " for account " +
                 std::to_string(link->selfId) + " failed: " + ec.message());
      return fail(Outcome::kConnectFailed, "upgrade failed: " + ec.message());
    }
    if (closing) return fail(outcome, reason);
    read();
  }

  // The first frame of an adopted socket: an event of the account makes it
  // the link; anything else closes it and leaves the current link alone.
  void onFirstFrame() {
    const auto data = buffer.data();
    const std::string_view text(static_cast<const char*>(data.data()), data.size());
    ParsedFrame parsed = ParseFrame(text);
    const Json& frame = parsed.value;
    const std::string who =
        "a connection from " + peer() + " with X-Self-ID " + std::to_string(link->selfId);
    if (!parsed.ok() || !frame.is_object() || !frame.contains("post_type")) {
      LogWarning("OneBot: " + who + " sent no event first; closed: " + Excerpt(text));
      return close(Outcome::kConnectFailed, "no event first");
    }
    const std::optional<int64_t> selfId = IntField(frame, "self_id");
    if (selfId != link->selfId) {
      LogWarning("OneBot: " + who + " sent an event of account " +
                 (selfId ? std::to_string(*selfId) : std::string("(none)")) +
                 "; closed as an account it is not");
      return close(Outcome::kConnectFailed, "self_id mismatch");
    }
    if (!impl.bindAccount(*selfId)) {
      LogWarning("OneBot: " + who + " is closed: " + impl.label + " serves account " +
                 std::to_string(impl.boundAccount()));
      return close(Outcome::kConnectFailed, "another account");
    }
    isConnected = true;
    ws.read_message_max(kMaxFrameBytes);
    impl.setReadingPaused(false);
    impl.prove(shared_from_this());
    impl.deliverParked();  // events read on the previous link come first
    impl.dispatch(text, *this);
    if (buffer.capacity() > kKeptBufferBytes) {
      buffer = beast::flat_buffer();
    } else {
      buffer.consume(buffer.size());
    }
    readNext();
  }

  void begin() {
    resolver.async_resolve(
        impl.endpoint.host, impl.endpoint.port,
        [self = shared_from_this()](beast::error_code ec, tcp::resolver::results_type results) {
          self->onResolved(ec, std::move(results));
        });
  }

  void onResolved(beast::error_code ec, tcp::resolver::results_type results) {
    if (ec) return fail(Outcome::kConnectFailed, "cannot resolve the host: " + ec.message());
    auto& tcpStream = beast::get_lowest_layer(ws);
    tcpStream.expires_after(impl.options.connectTimeout);
    tcpStream.async_connect(
        results, [self = shared_from_this()](beast::error_code ec, const tcp::endpoint&) {
          self->onConnected(ec);
        });
  }

  void onConnected(beast::error_code ec) {
    if (ec) return fail(Outcome::kConnectFailed, ec.message());
    beast::get_lowest_layer(ws).expires_never();  // the WebSocket's own timeouts take over
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = impl.options.connectTimeout;
    timeouts.idle_timeout = impl.options.idleTimeout;
    timeouts.keep_alive_pings = true;
    ws.set_option(timeouts);
    const std::string token = impl.options.accessToken;
    ws.set_option(websocket::stream_base::decorator([token](websocket::request_type& req) {
      req.set(http::field::user_agent, std::string("brindle-warden/") + BW_VERSION);
      if (!token.empty()) req.set(http::field::authorization, "Bearer " + token);
    }));
    ws.read_message_max(kMaxFrameBytes);
    const std::string host = impl.endpoint.host + ":" + impl.endpoint.port;
    ws.async_handshake(
        response, host, impl.endpoint.target,
        [self = shared_from_this()](beast::error_code ec) { self->onHandshake(ec); });
  }

  void onHandshake(beast::error_code ec) {
    if (ec) {
      const unsigned status = response.result_int();
      if (status == 401 || status == 403)
        return fail(Outcome::kUnauthorized, "HTTP " + std::to_string(status) + " on the upgrade");
      if (status != 0 && status != 101)
        return fail(Outcome::kConnectFailed, "the server answered HTTP " + std::to_string(status) +
                                                 " instead of a WebSocket");
      return fail(Outcome::kConnectFailed, "WebSocket handshake failed: " + ec.message());
    }
    if (closing) return;  // stopped during the handshake
    isConnected = true;
    impl.setReadingPaused(false);
    impl.connected(shared_from_this());
    impl.deliverParked();  // events read on the previous link come first
    readNext();
  }

  void read() {
    ws.async_read(buffer,
                  [self = shared_from_this()](beast::error_code ec, size_t) { self->onRead(ec); });
  }

  void onRead(beast::error_code ec) {
    if (ec && impl.options.reverse && !isConnected && !closing) {
      LogWarning("OneBot: a connection from " + peer() + " with X-Self-ID " +
                 std::to_string(link->selfId) + " ended before its first event (" + ec.message() +
                 ")");
      return fail(Outcome::kConnectFailed, ec.message());
    }
    if (ec) {
      if (ec == websocket::error::closed) {
        std::string why = "closed by the implementation";
        const auto& said = ws.reason().reason;
        if (!said.empty()) why += " (" + std::string(said.data(), said.size()) + ")";
        return fail(Outcome::kLost, why);
      }
      return fail(Outcome::kLost, ec.message());
    }
    if (impl.options.reverse && !isConnected) return onFirstFrame();
    // Parsed where it was read: a frame of megabytes is not copied first.
    const auto data = buffer.data();
    impl.dispatch(std::string_view(static_cast<const char*>(data.data()), data.size()), *this);
    // Such a frame leaves its capacity behind; the memory goes back at once.
    if (buffer.capacity() > kKeptBufferBytes) {
      buffer = beast::flat_buffer();
    } else {
      buffer.consume(buffer.size());
    }
    readNext();
  }

  // The next read, unless the robot has no room for events and no call waits
  // for an answer: then reading pauses until resume().
  void readNext() {
    impl.deliverParked();  // those that wait go first, as far as there is room
    if (impl.mayReadEvents()) return read();
    if (impl.answerAwaited()) return read();  // whatever comes before the answer
    paused = true;
    impl.setReadingPaused(true);
    watchIdle(false);  // no read, no traffic: the idle time-out would end the link
  }

  // There may be room for events, or a call now waits for its answer.
  void resume() {
    if (closing || !isConnected) return;
    impl.deliverParked();
    if (!paused || (!impl.mayReadEvents() && !impl.answerAwaited())) return;
    paused = false;
    impl.setReadingPaused(false);
    watchIdle(true);
    read();
  }

  void releaseBuffer() { buffer = beast::flat_buffer(); }

  void watchIdle(bool on) {
    websocket::stream_base::timeout timeouts;
    timeouts.handshake_timeout = impl.options.connectTimeout;
    timeouts.idle_timeout = on ? impl.options.idleTimeout : websocket::stream_base::none();
    timeouts.keep_alive_pings = true;
    ws.set_option(timeouts);
  }

  void send(std::string text) {
    if (closing || !isConnected) return;
    writes.push_back(std::move(text));
    if (writes.size() == 1) write();
  }

  void write() {
    ws.text(true);
    ws.async_write(net::buffer(writes.front()),
                   [self = shared_from_this()](beast::error_code ec, size_t) {
                     if (ec) return self->fail(Outcome::kLost, "write failed: " + ec.message());
                     self->writes.pop_front();
                     if (!self->writes.empty()) return self->write();
                     if (self->closing) self->closeNow();
                   });
  }

  // A graceful close once the frames already queued are written.
  void close(Outcome why, std::string text) {
    if (outcome == Outcome::kNone) {
      outcome = why;
      reason = std::move(text);
    }
    if (closing) return;
    closing = true;
    if (!isConnected && impl.options.reverse) return fail(outcome, reason);
    if (!isConnected) {  // still connecting: abandon the attempt
      resolver.cancel();
      beast::error_code ignored;
      beast::get_lowest_layer(ws).socket().close(ignored);
      ioc.stop();
      return;
    }
    if (writes.empty()) closeNow();
  }

  void closeNow() {
    ws.async_close(websocket::close_code::normal, [self = shared_from_this()](beast::error_code) {
      self->fail(Outcome::kStopped, "closed");
    });
  }

  void fail(Outcome why, std::string text) {
    if (outcome == Outcome::kNone) {
      outcome = why;
      reason = std::move(text);
    }
    beast::error_code ignored;
    beast::get_lowest_layer(ws).socket().close(ignored);
    if (impl.options.reverse) {
      if (ended) return;
      ended = true;
      // The account's other sockets share the I/O context: it runs on.
      return impl.sessionEnded(*this);
    }
    if (isConnected) impl.disconnected("disconnected");
    // The WebSocket's keep-alive timer would otherwise hold the loop until it fires.
    ioc.stop();
  }
};

void Connection::Impl::offerEvent(const Json& event, std::string_view text, Session& s) {
  if (noneParked() && gateOpen()) {
    if (text.size() <= kKeptBufferBytes) return deliverEvent(event, text);
    // The frame's text is no longer needed: its megabytes go before the
    // event's copies are made.
    const std::string excerpt = Excerpt(text);
    s.releaseBuffer();
    return deliverEvent(event, excerpt);
  }
  std::lock_guard lock(eventsMu);
  offerEventLocked(text);
}

void Connection::Impl::wakeReaderLocked(const std::shared_ptr<Session>& s) {
  net::post(s->ws.get_executor(), [s] { s->resume(); });
}

void Connection::Impl::sendLocked(const std::shared_ptr<Session>& s, std::string text) {
  net::post(s->ws.get_executor(),
            [s, text = std::move(text)]() mutable { s->send(std::move(text)); });
}

void Connection::Impl::dispatch(std::string_view text, Session& s) {
  ParsedFrame parsed = ParseFrame(text);
  if (parsed.tooDeep) {
    LogWarning("OneBot: frame of " + std::to_string(text.size()) + " bytes nested more than " +
               std::to_string(kMaxJsonNesting) + " levels deep dropped: " + Excerpt(text));
    return;
  }
  Json frame = std::move(parsed.value);
  if (frame.is_discarded() || !frame.is_object()) {
    LogWarning("OneBot: malformed frame dropped: " + Excerpt(text));
    return;
  }
  if (frame.contains("post_type")) return offerEvent(frame, text, s);
  if (!frame.contains("echo") && !frame.contains("retcode")) {
    LogWarning("OneBot: unknown frame dropped: " + Excerpt(text));
    return;
  }
  const int64_t retcode = RetcodeOf(frame);
  if (frame.contains("echo")) {
    Outcomes out;
    bool drained = false;
    {
      std::lock_guard lock(mu);
      const std::string echo = EchoKey(frame["echo"]);
      auto it = pending.find(echo);
      auto postedIt = posted.find(EchoSequence(echo));
      if (it != pending.end()) {
        it->second->answer = std::move(frame);
        it->second->done.request_stop();
        pending.erase(it);
      } else if (postedIt != posted.end()) {
        if (!postedIt->second.sentAt) --heldCount;  // answered on the old link after all
        out.emplace_back(std::move(postedIt->second.onAnswer), ResultOf(frame));
        posted.erase(postedIt);
        drained = backlogDrainedLocked();
      } else if (retcode != kRetcodeBadToken) {
        LogInfo("OneBot: answer to an unknown or timed-out call dropped: " + Excerpt(text));
      }
    }
    Deliver(out);
    // The last answer of thousands of calls (a backlog held through an
    // outage) is handled: what they and their handlers allocated goes back
    // now, not at the next sweep.
    if (drained) ReturnFreedMemory();
  }
  if (retcode == kRetcodeBadToken) s.close(Outcome::kUnauthorized, "retcode 1403");
}

void Connection::Impl::adoptLink(std::unique_ptr<AcceptedLink> link) {
  const std::string peer = link->peer;
  if (stopSource.stop_requested()) return;
  {
    std::lock_guard lock(mu);
    if (candidates.size() >= kMaxCandidates) {
      LogWarning("OneBot: " + std::to_string(candidates.size()) + " connections for account " +
                 std::to_string(link->selfId) +
                 " are still to send their first event; the one from " + peer + " is closed");
      return;
    }
  }
  std::shared_ptr<Session> s;
  try {
    s = std::make_shared<Session>(*reverseIoc, *this, std::move(link));
  } catch (const std::exception& e) {
    LogWarning("OneBot: cannot take over the connection from " + peer + ": " + e.what());
    return;
  }
  {
    std::lock_guard lock(mu);
    candidates.push_back(s);
  }
  ++liveSessions;
  s->accept();
}

void Connection::Impl::prove(const std::shared_ptr<Session>& s) {
  std::shared_ptr<Session> old;
  {
    std::lock_guard lock(mu);
    std::erase(candidates, s);
    old = session;
    // The calls sent on the old link and not yet answered go again on the new one.
    if (old) failAllLocked("disconnected");
  }
  const std::string account = "account " + std::to_string(s->link->selfId);
  if (old) {
    LogWarning("OneBot: " + account + " connected again from " + s->peer() +
               "; this link replaces the one from " + old->peer() + ", which is closed");
    old->close(Outcome::kStopped, "replaced by a new connection of the account");
  } else {
    LogInfo("OneBot: " + account + " connected from " + s->peer());
  }
  connected(s);
}

void Connection::Impl::sessionEnded(Session& s) {
  --liveSessions;
  bool wasCurrent = false;
  size_t held = 0;
  {
    std::lock_guard lock(mu);
    std::erase_if(candidates, [&](const auto& c) { return c.get() == &s; });
    if (session.get() == &s) {
      wasCurrent = state == LinkState::kConnected;
      failAllLocked("disconnected");
      held = heldCount;
    }
  }
  const bool stopping = stopSource.stop_requested();
  if (wasCurrent) {
    stateCv.notify_all();
    if (!stopping) {
      LogWarning("OneBot: " + label + " from " + s.peer() + " was lost (" + s.reason +
                 "); waiting for the implementation to connect again" +
                 (held > 0 ? " (" + std::to_string(held) + " acting calls held for it)" : ""));
      if (onState) onState(LinkState::kRetrying);
    }
  }
  if (stopping && liveSessions == 0) reverseIoc->stop();
}

void Connection::Impl::expireCandidatesLocked(SystemTime now) {
  for (const auto& c : candidates) {
    if (c->expiring || now < c->deadline) continue;
    c->expiring = true;
    net::post(c->ws.get_executor(), [c] {
      if (c->isConnected || c->ended) return;
      LogWarning("OneBot: a connection from " + c->peer() + " with X-Self-ID " +
                 std::to_string(c->link->selfId) +
                 " sent no event within the handshake time-out; closed");
      c->close(Outcome::kConnectFailed, "no event in time");
    });
  }
}

// On the I/O thread, at stop: the link closes gracefully (frames already
// queued go first), sockets still to prove themselves at once.
void Connection::Impl::closeAllReverse() {
  std::vector<std::shared_ptr<Session>> all;
  {
    std::lock_guard lock(mu);
    all = candidates;
    if (session) all.push_back(session);
  }
  for (const auto& s : all) s->close(Outcome::kStopped, "stopped");
  reverseWork.reset();
  if (liveSessions == 0) reverseIoc->stop();
}

void Connection::Impl::runReverse() {
  setState(LinkState::kConnecting);
  reverseIoc->run();
  {
    std::lock_guard lock(mu);
    candidates.clear();
    session.reset();
  }
  disconnected("disconnected");
  setState(LinkState::kStopped);
}

void Connection::Impl::run(std::stop_token stop) {
  Millis retry = options.firstRetry;
  bool everConnected = false;
  while (!stop.stop_requested()) {
    ++attempts;
    setState(LinkState::kConnecting);
    net::io_context ioc;
    auto s = std::make_shared<Session>(ioc, *this);
    {
      std::lock_guard lock(mu);
      attempt = s;
    }
    if (stop.stop_requested()) {  // stop() may have looked before `attempt` was set
      // `ioc` ends with this scope: a later stop() must not post to it.
      std::lock_guard lock(mu);
      attempt.reset();
      break;
    }
    s->begin();
    ioc.run();
    {
      std::lock_guard lock(mu);
      attempt.reset();
      session.reset();
    }
    disconnected("disconnected");
    if (stop.stop_requested()) break;
    if (s->outcome == Outcome::kUnauthorized) {
      LogError("OneBot: " + options.url + " refused the access token (" + s->reason +
               "); not retrying. Give the token configured in the OneBot implementation with "
               "--token or access_token= in the config file.");
      setState(LinkState::kUnauthorized);
      return;
    }
    if (s->isConnected) {
      everConnected = true;
      retry = options.firstRetry;
      LogWarning("OneBot: connection to " + options.url + " lost (" + s->reason +
                 "); reconnecting in " + Seconds(retry));
    } else {
      LogWarning(std::string("OneBot: ") +
                 (everConnected ? "still no connection to "
                                : "waiting for a OneBot v11 implementation at ") +
                 options.url + " (" + s->reason + "); next attempt in " + Seconds(retry) +
                 " (attempt " + std::to_string(attempts.load()) + ")");
    }
    setState(LinkState::kRetrying);
    if (!clock.sleepFor(retry, stop)) break;
    if (!s->isConnected) retry = std::min(retry * 2, options.maxRetry);
  }
  setState(LinkState::kStopped);
}

Connection::Connection(Clock& clock, ConnectionOptions options)
    : impl_(std::make_shared<Impl>(clock, std::move(options))) {}

Connection::~Connection() { stop(); }

void Connection::setEventHandler(EventHandler handler) { impl_->onEvent = std::move(handler); }
void Connection::setStateHandler(StateHandler handler) { impl_->onState = std::move(handler); }
void Connection::setEventGate(EventGate gate) { impl_->eventGate = std::move(gate); }

void Connection::resumeEvents() {
  std::lock_guard lock(impl_->mu);
  if (impl_->session) impl_->wakeReaderLocked(impl_->session);
}

Connection::EventBacklog Connection::eventBacklog() const {
  EventBacklog b;
  {
    std::lock_guard lock(impl_->eventsMu);
    b.parked = impl_->parkedEvents.size() + impl_->spooled;
    b.parkedBytes = impl_->parkedBytes;
    b.peakParkedBytes = impl_->peakParkedBytes;
    b.spooledBytes = impl_->spoolWrite - impl_->spoolRead;
    b.peakSpooledBytes = impl_->peakSpooledBytes;
    b.dropped = impl_->droppedEvents;
  }
  std::lock_guard lock(impl_->mu);
  b.readingPaused = impl_->readingPaused;
  return b;
}

bool Connection::start() {
  if (impl_->options.reverse) {
    std::lock_guard lock(impl_->mu);
    if (impl_->thread.joinable() || impl_->stopSource.stop_requested()) return true;
    Impl* impl = impl_.get();
    impl->reverseIoc = std::make_unique<net::io_context>(1);
    impl->reverseWork.emplace(net::make_work_guard(*impl->reverseIoc));
    // Adopted sockets must send their first event in time, even when no call is posted.
    impl->sweeper = std::jthread([impl](std::stop_token stop) { impl->sweepLoop(stop); });
    impl->thread = std::jthread([impl] { impl->runReverse(); });
    return true;
  }
  std::string error;
  auto ep = ParseWsUrl(impl_->options.url, error);
  if (!ep) {
    LogError("OneBot: cannot use the URL \"" + impl_->options.url + "\": " + error);
    return false;
  }
  impl_->endpoint = std::move(*ep);
  if (impl_->thread.joinable()) return true;
  Impl* impl = impl_.get();
  impl_->thread = std::jthread([impl, token = impl_->stopSource.get_token()] { impl->run(token); });
  return true;
}

void Connection::stop() {
  bool linkUp = false;
  {
    std::lock_guard lock(impl_->mu);
    linkUp = impl_->state == LinkState::kConnected;
  }
  impl_->stopSource.request_stop();
  {
    std::lock_guard lock(impl_->mu);
    if (impl_->reverseIoc && impl_->thread.joinable()) {
      Impl* impl = impl_.get();
      net::post(*impl->reverseIoc, [impl] { impl->closeAllReverse(); });
    }
    if (auto s = impl_->attempt) {
      net::post(s->ws.get_executor(), [s] { s->close(Outcome::kStopped, "stopped"); });
    }
  }
  if (impl_->thread.joinable()) impl_->thread.join();
  std::jthread sweeper;  // a post() may just be starting it: take it under the lock
  {
    std::lock_guard lock(impl_->mu);
    sweeper = std::move(impl_->sweeper);
  }
  if (sweeper.joinable()) {
    sweeper.request_stop();
    sweeper.join();
  }
  Outcomes out = impl_->failLeftAtStop(linkUp);
  Deliver(out);
  impl_->setState(LinkState::kStopped);
}

CallResult Connection::call(std::string_view action, Json params, std::optional<Millis> timeout) {
  Impl& impl = *impl_;
  CallResult result;
  auto p = std::make_shared<Pending>();
  std::string echo;
  {
    std::lock_guard lock(impl.mu);
    if (impl.stopSource.stop_requested()) {
      result.status = "stopped";
      return result;
    }
    if (!impl.session) {
      result.status = "disconnected";
      result.message =
          std::string("not connected to ") + impl.label + " (" + LinkStateName(impl.state) + ")";
      return result;
    }
    echo = impl.nextEchoLocked();
    Json frame = Json::object();
    frame["action"] = action;
    frame["params"] = std::move(params);
    frame["echo"] = echo;
    // Invalid UTF-8 in a text (a hostile nickname) must not throw here.
    std::string text = frame.dump(-1, ' ', false, Json::error_handler_t::replace);
    impl.pending[echo] = p;
    impl.sendLocked(impl.session, std::move(text));
    impl.wakeReaderLocked(impl.session);  // its answer must be read, room or not
  }
  const Millis wait = timeout.value_or(impl.options.callTimeout);
  {
    std::stop_callback onShutdown(impl.stopSource.get_token(), [p] { p->done.request_stop(); });
    impl.clock.sleepFor(wait, p->done.get_token());
  }
  std::lock_guard lock(impl.mu);
  impl.pending.erase(echo);
  if (!p->answer) {
    if (!p->failure.empty()) {
      result.status = p->failure;
    } else if (impl.stopSource.stop_requested()) {
      result.status = "stopped";
    } else {
      result.status = "timeout";
      LogWarning("OneBot: no answer to " + std::string(action) + " within " + Seconds(wait));
    }
    return result;
  }
  result = ResultOf(*p->answer);
  if (!result.ok) {
    LogWarning("OneBot: " + std::string(action) + " failed (retcode " +
               std::to_string(result.retcode) +
               (result.message.empty() ? "" : ", " + result.message) + ")");
  }
  return result;
}

void Connection::post(std::string_view action, Json params, AnswerHandler onAnswer) {
  Impl& impl = *impl_;
  Outcomes out;
  {
    std::lock_guard lock(impl.mu);
    if (impl.stopSource.stop_requested() || impl.state == LinkState::kUnauthorized) {
      out.emplace_back(std::move(onAnswer), Failure("stopped", "the connection has ended"));
    } else {
      const uint64_t seq = impl.nextEcho;
      Json frame = Json::object();
      frame["action"] = action;
      frame["params"] = std::move(params);
      frame["echo"] = impl.nextEchoLocked();
      Posted p;
      p.action = std::string(action);
      // Invalid UTF-8 in a text (a hostile nickname) must not throw here.
      p.frame = frame.dump(-1, ' ', false, Json::error_handler_t::replace);
      p.madeAt = impl.clock.now();
      p.onAnswer = std::move(onAnswer);
      if (impl.session) {
        p.sentAt = p.madeAt;
        impl.sendLocked(impl.session, p.frame);
      } else {
        ++impl.heldCount;
        // Beyond the bound the oldest held call gives way.
        for (auto it = impl.posted.begin();
             impl.heldCount > impl.options.maxHeldCalls && it != impl.posted.end();) {
          if (it->second.sentAt) {
            ++it;
            continue;
          }
          out.emplace_back(
              std::move(it->second.onAnswer),
              Failure("expired", "more than " + std::to_string(impl.options.maxHeldCalls) +
                                     " calls held while the link was down"));
          it = impl.posted.erase(it);
          --impl.heldCount;
        }
      }
      impl.posted.emplace(seq, std::move(p));
      impl.postedBacklog = std::max(impl.postedBacklog, impl.posted.size());
      if (!impl.sweeper.joinable()) {
        impl.sweeper = std::jthread([&impl](std::stop_token stop) { impl.sweepLoop(stop); });
      }
    }
  }
  Deliver(out);
}

void Connection::adopt(std::unique_ptr<AcceptedLink> link) {
  Impl& impl = *impl_;
  std::lock_guard lock(impl.mu);
  // Read under the same lock: a reader sees it once this call has let go.
  ++impl.adoptions;
  if (!link) return;
  if (!impl.options.reverse || !impl.reverseIoc || impl.stopSource.stop_requested()) {
    LogWarning("OneBot: a connection from " + link->peer + " for account " +
               std::to_string(link->selfId) + " is closed: " + impl.label +
               (impl.options.reverse ? " is not running" : " takes no incoming connections"));
    return;  // the link's destructor closes the socket
  }
  net::post(*impl.reverseIoc, [&impl, l = std::shared_ptr<AcceptedLink>(std::move(link))] {
    auto owned = std::make_unique<AcceptedLink>();
    owned->handle = std::exchange(l->handle, -1);
    owned->protocol = l->protocol;
    owned->request = std::move(l->request);
    owned->selfId = l->selfId;
    owned->peer = std::move(l->peer);
    owned->deadline = l->deadline;
    impl.adoptLink(std::move(owned));
  });
}

std::string Connection::describe() const { return impl_->label; }

uint64_t Connection::adoptions() const {
  std::lock_guard lock(impl_->mu);
  return impl_->adoptions;
}

void Connection::stopAfterAbsence() {
  {
    std::lock_guard lock(impl_->mu);
    impl_->expireHeldAtStop = true;
  }
  stop();
}

int64_t Connection::account() const { return impl_->boundAccount(); }

AcceptedLink::~AcceptedLink() {
  if (handle >= 0) ::close(handle);
}

LinkState Connection::state() const {
  std::lock_guard lock(impl_->mu);
  return impl_->state;
}

bool Connection::waitUntilConnected(std::stop_token stop) {
  std::unique_lock lock(impl_->mu);
  impl_->stateCv.wait(lock, stop, [&] {
    return impl_->state == LinkState::kConnected || impl_->state == LinkState::kUnauthorized ||
           impl_->state == LinkState::kStopped;
  });
  return impl_->state == LinkState::kConnected;
}

uint64_t Connection::attempts() const { return impl_->attempts.load(); }

const ConnectionOptions& Connection::options() const { return impl_->options; }

}  // namespace bw::onebot
