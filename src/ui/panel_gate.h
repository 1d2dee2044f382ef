// The panel's door: an HTTP server that hands a connection to a worker only once
// its whole request has arrived, within bounds. Until then one gate thread
// holds it and reads what comes, with a deadline, so connections that trickle
// their head never occupy the workers; a request that breaks a bound (header
// lines, head size, a body without Content-Length or larger than allowed, JSON
// nested too deeply) is answered by the gate and closed without being read
// further. Before a request is authenticated the server holds at most a small
// head and a few KB of body for it.
//
// The library's own reading of the request then runs on the buffered bytes, so
// its handlers, routing and answers stay as they are.
//
// Thread-safety: the limits are fixed at construction; the session check is
// called on the gate thread and must be thread-safe.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace bw::ui {

struct GateLimits {
  size_t maxHeadBytes = 16 * 1024;  // request line and headers together
  size_t maxHeaderLines = 100;
  size_t maxBody = 1 << 20;            // with a session
  size_t maxAnonymousBody = 4 * 1024;  // without one: the login's few fields
  size_t maxJsonDepth = 64;            // the panel's own bodies nest 3 or 4 deep
  size_t bodyBudget = 32u << 20;       // bodies held by the gate and the queue together
  size_t maxConnections = 512;         // held at once (kept under the usual 1024 descriptors)
  // Connections of one source address waiting for their request; beyond this
  // the source's longest-waiting one is dropped once it has waited `grace`
  // (a browser sends its head right after connecting).
  size_t perSource = 64;
  Millis grace{250};
  Millis headDeadline{5000};      // the head must have arrived by then
  Millis requestDeadline{10000};  // and the body by then
};

// The deepest nesting of arrays and objects in `json` (strings are skipped), or
// `limit` + 1 as soon as it goes deeper than `limit`.
size_t JsonDepth(std::string_view json, size_t limit);

// What the gate reads of a head ("GET /x HTTP/1.1\r\nName: value\r\n...\r\n\r\n").
struct RequestHead {
  int refusal = 0;  // 0, or the status that refuses the request
  std::string reason;
  std::string method, path;  // path without its query
  size_t headerLines = 0;
  size_t contentLength = 0;
  bool expectContinue = false;
  std::string cookie;
  std::string account;  // the X-BW-Account header: the robot account a page shows
};
// `head` ends with its blank line.
RequestHead ParseRequestHead(std::string_view head, const GateLimits& limits);

// Routes that answer a request already read whole: the gate's own server, or
// a further table the gate's router picks for it (one per robot account).
class RouteTable : public httplib::Server {
 public:
  void answer(httplib::Stream& stream) {
    bool closed = false;
    process_request(stream, true, closed, nullptr);
  }
};

class GatedServer : public RouteTable {
 public:
  // `hasSession(cookieHeader)`: whether the Cookie header holds an open
  // session, which allows a body beyond maxAnonymousBody. `workers` answer
  // the complete requests.
  GatedServer(const Clock& clock, GateLimits limits, size_t workers,
              std::function<bool(const std::string&)> hasSession);
  ~GatedServer() override;

  const GateLimits& limits() const { return limits_; }

  // Picks the table that answers a complete request by its head; null: this
  // server's own routes. Set before the server starts.
  using Router = std::function<std::shared_ptr<RouteTable>(const RequestHead& head)>;
  void setRouter(Router router) { router_ = std::move(router); }

 protected:
  bool process_and_close_socket(socket_t sock) override;

 private:
  class Gate;
  friend class Gate;
  // Answers one buffered request on a worker thread, then closes the socket.
  void serve(socket_t sock, std::string request, const std::string& remoteAddr, int remotePort);

  const Clock& clock_;
  const GateLimits limits_;
  const size_t workers_;
  std::function<bool(const std::string&)> hasSession_;
  Router router_;
  std::atomic<Gate*> gate_{nullptr};
};

}  // namespace bw::ui
