#include "ui/panel_gate.h"

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "util/log.h"
#include "util/memory.h"

namespace bw::ui {

namespace {

#if defined(_WIN32)
using PollFd = WSAPOLLFD;
int PollSockets(PollFd* fds, size_t n, int ms) { return WSAPoll(fds, static_cast<ULONG>(n), ms); }
void CloseSocket(socket_t s) { ::closesocket(s); }
constexpr int kShutWrite = SD_SEND;
constexpr int kShutBoth = SD_BOTH;
constexpr int kSendFlags = 0;
#else
using PollFd = pollfd;
int PollSockets(PollFd* fds, size_t n, int ms) { return ::poll(fds, static_cast<nfds_t>(n), ms); }
void CloseSocket(socket_t s) { ::close(s); }
constexpr int kShutWrite = SHUT_WR;
constexpr int kShutBoth = SHUT_RDWR;
constexpr int kSendFlags = MSG_NOSIGNAL;
#endif

constexpr int kPollMillis = 20;              // how often the gate looks at its clocks
constexpr int kWriteTimeoutMillis = 1000;    // as the library's own write time-out
constexpr size_t kLingerBytes = 256 * 1024;  // read and dropped after a refusal
constexpr Millis kLinger{1000};
constexpr size_t kTrimAfterBytes = 64 * 1024;
constexpr Millis kLogEvery{10000};

ssize_t RecvSome(socket_t s, char* buf, size_t n) {
  return ::recv(s, buf, static_cast<int>(std::min<size_t>(n, 1 << 20)), 0);
}

// Writes all of `data` within the write time-out per step; false when the
// peer does not take it.
bool SendAll(socket_t s, std::string_view data) {
  while (!data.empty()) {
    PollFd p{};
    p.fd = s;
    p.events = POLLOUT;
    if (PollSockets(&p, 1, kWriteTimeoutMillis) <= 0) return false;
    const auto n = ::send(s, data.data(), static_cast<int>(std::min<size_t>(data.size(), 1 << 20)),
                          kSendFlags);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

void AddressOf(const sockaddr_storage& addr, socklen_t len, std::string& ip, int& port) {
  char host[NI_MAXHOST] = "";
  char serv[NI_MAXSERV] = "";
  if (::getnameinfo(reinterpret_cast<const sockaddr*>(&addr), len, host, sizeof host, serv,
                    sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) == 0) {
    ip = host;
    port = std::atoi(serv);
  }
}

void PeerOf(socket_t s, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    AddressOf(addr, len, ip, port);
}

void LocalOf(socket_t s, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    AddressOf(addr, len, ip, port);
}

const char* StatusText(int status) {
  switch (status) {
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 408:
      return "Request Timeout";
    case 411:
      return "Length Required";
    case 413:
      return "Payload Too Large";
    case 431:
      return "Request Header Fields Too Large";
    case 503:
      return "Service Unavailable";
    default:
      return "Error";
  }
}

// The answer of a refused request, shaped like the panel's own errors.
std::string RefusalText(int status, const std::string& reason) {
  const std::string body = nlohmann::json{{"error", reason}}.dump();
  std::string text = "HTTP/1.1 " + std::to_string(status) + " " + StatusText(status) + "\r\n";
  text += "Content-Type: application/json; charset=utf-8\r\n";
  text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  text += "Connection: close\r\nCache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n";
  if (status == 503) text += "Retry-After: 1\r\n";
  return text + "\r\n" + body;
}

bool IEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// A head without its Expect line: the gate has answered it already, and the
// library would send a second "100 Continue" after the body.
std::string WithoutExpect(std::string_view head) {
  std::string out;
  size_t pos = 0;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    end = end == std::string_view::npos ? head.size() : end + 2;
    const std::string_view line = head.substr(pos, end - pos);
    if (!(line.size() >= 7 && IEquals(line.substr(0, 7), "expect:"))) out += line;
    pos = end;
  }
  return out;
}

}  // namespace

size_t JsonDepth(std::string_view json, size_t limit) {
  size_t depth = 0, deepest = 0;
  bool inString = false, escaped = false;
  for (char c : json) {
    if (inString) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
      if (deepest > limit) return limit + 1;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

RequestHead ParseRequestHead(std::string_view head, const GateLimits& limits) {
  RequestHead r;
  auto refuse = [&r](int status, std::string reason) {
    r.refusal = status;
    r.reason = std::move(reason);
    return r;
  };
  size_t pos = head.find("\r\n");
  if (pos == std::string_view::npos) return refuse(400, "malformed request");
  const std::string_view requestLine = head.substr(0, pos);
  const size_t sp1 = requestLine.find(' ');
  const size_t sp2 = requestLine.rfind(' ');
  if (sp1 == std::string_view::npos || sp1 == 0 || sp2 <= sp1 + 1)
    return refuse(400, "malformed request line");
  r.method = std::string(requestLine.substr(0, sp1));
  const std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
  r.path = std::string(target.substr(0, target.find('?')));
  bool sawLength = false;
  pos += 2;
  while (pos < head.size()) {
    const size_t end = head.find("\r\n", pos);
    if (end == std::string_view::npos || end == pos) break;  // the blank line
    const std::string_view line = head.substr(pos, end - pos);
    pos = end + 2;
    if (++r.headerLines > limits.maxHeaderLines) return refuse(431, "too many header lines");
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return refuse(400, "malformed header line");
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = Trim(line.substr(colon + 1));
    if (IEquals(name, "Content-Length")) {
      if (value.empty() || value.size() > 12 ||
          !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return refuse(400, "malformed Content-Length");
      const size_t length = std::stoull(std::string(value));
      if (sawLength && length != r.contentLength) return refuse(400, "two Content-Length values");
      sawLength = true;
      r.contentLength = length;
    } else if (IEquals(name, "Transfer-Encoding")) {
      return refuse(411, "a request body needs its Content-Length");
    } else if (IEquals(name, "Expect")) {
      r.expectContinue = IEquals(value, "100-continue");
    } else if (IEquals(name, "X-BW-Account")) {
      r.account = std::string(value);
    } else if (IEquals(name, "Cookie")) {
      if (!r.cookie.empty()) r.cookie += "; ";
      r.cookie += value;
    }
  }
  if (r.contentLength > limits.maxBody) return refuse(413, "request body too large");
  return r;
}

// A buffered request read by the library as if from its socket; answers go to
// the socket.
class BufferedStream final : public httplib::Stream {
 public:
  BufferedStream(socket_t sock, const std::string& data, std::string remoteAddr, int remotePort)
      : sock_(sock), data_(data), remoteAddr_(std::move(remoteAddr)), remotePort_(remotePort) {}

  bool is_readable() const override { return pos_ < data_.size(); }
  bool is_writable() const override {
    PollFd p{};
    p.fd = sock_;
    p.events = POLLOUT;
    return PollSockets(&p, 1, kWriteTimeoutMillis) > 0;
  }
  ssize_t read(char* ptr, size_t size) override {
    const size_t n = std::min(size, data_.size() - pos_);
    std::memcpy(ptr, data_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }
  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    return ::send(sock_, ptr, static_cast<int>(std::min<size_t>(size, 1 << 20)), kSendFlags);
  }
  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    ip = remoteAddr_;
    port = remotePort_;
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    LocalOf(sock_, ip, port);
  }
  socket_t socket() const override { return sock_; }

 private:
  socket_t sock_;
  const std::string& data_;
  size_t pos_ = 0;
  std::string remoteAddr_;
  int remotePort_;
};

// The server's task queue: the library hands it each accepted socket (through
// process_and_close_socket), the gate thread reads the requests and the
// workers answer the complete ones.
class GatedServer::Gate final : public httplib::TaskQueue {
 public:
  explicit Gate(GatedServer& server) : server_(server), limits_(server.limits_) {
    gate_ = std::thread([this] { gateLoop(); });
    for (size_t i = 0; i < server.workers_; ++i) workers_.emplace_back([this] { work(); });
  }

  // Runs on the accepting thread: the call only hands the socket over.
  void enqueue(std::function<void()> fn) override { fn(); }

  void shutdown() override {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    wake_.notify_all();
    ready_.notify_all();
    gate_.join();
    for (std::thread& t : workers_) t.join();
    for (Job& j : jobs_) CloseSocket(j.sock);  // not begun: the server is stopping
    jobs_.clear();
    server_.gate_.store(nullptr);
  }

  void admit(socket_t sock) {
    Conn c;
    c.sock = sock;
    c.accepted = server_.clock_.now();
    PeerOf(sock, c.addr, c.port);
    std::unique_lock lock(mu_);
    if (stop_ || held_ >= limits_.maxConnections) {
      lock.unlock();
      note(503, "too many connections", c.addr);
      CloseSocket(sock);
      return;
    }
    ++held_;
    incoming_.push_back(std::move(c));
    wake_.notify_one();
  }

 private:
  struct Conn {
    socket_t sock = INVALID_SOCKET;
    std::string addr;
    int port = 0;
    SystemTime accepted;
    std::string buf;
    size_t headEnd = 0;  // 0 while the head is incomplete
    size_t bodyBytes = 0;
    bool reserved = false;  // bodyBytes are counted in the budget
    bool closing = false;   // answered: what still comes is dropped
    size_t dropped = 0;
    SystemTime closeBy;
    bool done = false;  // closed or handed to a worker
  };
  struct Job {
    socket_t sock;
    std::string request;
    size_t bodyBytes;
    std::string addr;
    int port;
  };

  void gateLoop() {
    std::vector<PollFd> fds;
    for (;;) {
      {
        std::unique_lock lock(mu_);
        if (pending_.empty()) wake_.wait(lock, [this] { return stop_ || !incoming_.empty(); });
        if (stop_) break;
        for (Conn& c : incoming_) pending_.push_back(std::move(c));
        incoming_.clear();
      }
      fds.assign(pending_.size(), PollFd{});
      for (size_t i = 0; i < pending_.size(); ++i) {
        fds[i].fd = pending_[i].sock;
        fds[i].events = POLLIN;
      }
      if (PollSockets(fds.data(), fds.size(), kPollMillis) > 0) {
        for (size_t i = 0; i < fds.size(); ++i)
          if (fds[i].revents != 0) readFrom(pending_[i]);
      }
      enforceTimes();
      enforcePerSource();
      std::erase_if(pending_, [](const Conn& c) { return c.done; });
    }
    for (Conn& c : pending_)
      if (!c.done) close(c);
    for (Conn& c : incoming_) close(c);
    incoming_.clear();
  }

  void readFrom(Conn& c) {
    char chunk[16 * 1024];
    if (c.closing) {
      const auto n = RecvSome(c.sock, chunk, sizeof chunk);
      if (n <= 0 || (c.dropped += static_cast<size_t>(n)) > kLingerBytes) close(c);
      return;
    }
    const size_t want = c.headEnd == 0 ? limits_.maxHeadBytes + 1 - c.buf.size()
                                       : c.headEnd + c.bodyBytes - c.buf.size();
    const auto n = RecvSome(c.sock, chunk, std::min(sizeof chunk, want));
    if (n <= 0) {
      close(c);  // the client went away
      return;
    }
    const size_t before = c.buf.size();
    c.buf.append(chunk, static_cast<size_t>(n));
    if (c.headEnd == 0) {
      const size_t end = c.buf.find("\r\n\r\n", before < 3 ? 0 : before - 3);
      if (end == std::string::npos || end + 4 > limits_.maxHeadBytes) {
        if (c.buf.size() > limits_.maxHeadBytes) refuse(c, 431, "request head too large");
        return;
      }
      c.headEnd = end + 4;
      if (!admitHead(c)) return;
    }
    if (c.buf.size() >= c.headEnd + c.bodyBytes) dispatch(c);
  }

  // Checks a complete head; false when it was refused.
  bool admitHead(Conn& c) {
    const RequestHead h = ParseRequestHead(std::string_view(c.buf).substr(0, c.headEnd), limits_);
    if (h.refusal != 0) {
      refuse(c, h.refusal, h.reason);
      return false;
    }
    if (h.contentLength == 0) return true;
    if (h.contentLength > limits_.maxAnonymousBody && !server_.hasSession_(h.cookie)) {
      // Only a session's requests may carry more than a login.
      if (h.path.starts_with("/api/") && h.path != "/api/login")
        refuse(c, 401, "请先登录");
      else
        refuse(c, 413, "request body too large");
      return false;
    }
    bool full = false;
    {
      std::lock_guard lock(mu_);
      full = budgetUsed_ + h.contentLength > limits_.bodyBudget;
      if (!full) budgetUsed_ += h.contentLength;
    }
    if (full) {
      refuse(c, 503, "the panel is busy, try again");
      return false;
    }
    c.reserved = true;
    c.bodyBytes = h.contentLength;
    if (h.expectContinue) {
      const std::string head = WithoutExpect(std::string_view(c.buf).substr(0, c.headEnd));
      c.buf = head + c.buf.substr(c.headEnd);
      c.headEnd = head.size();
      if (c.buf.size() < c.headEnd + c.bodyBytes) SendAll(c.sock, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    return true;
  }

  void dispatch(Conn& c) {
    c.buf.resize(c.headEnd + c.bodyBytes);  // one request per connection: the rest is dropped
    {
      std::lock_guard lock(mu_);
      jobs_.push_back(Job{c.sock, std::move(c.buf), c.bodyBytes, c.addr, c.port});
    }
    ready_.notify_one();
    c.done = true;
  }

  void enforceTimes() {
    const SystemTime now = server_.clock_.now();
    for (Conn& c : pending_) {
      if (c.done) continue;
      // A clock set back must not lengthen a wait.
      c.accepted = std::min(c.accepted, now);
      c.closeBy = std::min(c.closeBy, now + kLinger);
      if (c.closing) {
        if (now >= c.closeBy) close(c);
      } else if (c.headEnd == 0 && now - c.accepted >= limits_.headDeadline) {
        refuse(c, 408, "the request head did not arrive in time");
      } else if (now - c.accepted >= limits_.requestDeadline) {
        refuse(c, 408, "the request did not arrive in time");
      }
    }
  }

  // A source over its share loses its longest-waiting connections.
  void enforcePerSource() {
    std::map<std::string, size_t> waiting;
    for (const Conn& c : pending_)
      if (!c.done && !c.closing) ++waiting[c.addr];
    const SystemTime now = server_.clock_.now();
    for (auto& [addr, count] : waiting) {
      if (count <= limits_.perSource) continue;
      // pending_ is in the order of acceptance: the first are the oldest.
      for (Conn& c : pending_) {
        if (count <= limits_.perSource) break;
        if (c.done || c.closing || c.addr != addr || now - c.accepted < limits_.grace) continue;
        refuse(c, 503, "too many connections from one address");
        --count;
      }
    }
  }

  // Answers with `status` and keeps reading (and dropping) a little longer,
  // so the answer is not lost to a reset while the client still sends.
  void refuse(Conn& c, int status, const std::string& reason) {
    note(status, reason, c.addr);
    release(c);
    c.buf.clear();
    c.buf.shrink_to_fit();
    PollFd p{};
    p.fd = c.sock;
    p.events = POLLOUT;
    const std::string text = RefusalText(status, reason);
    if (PollSockets(&p, 1, 0) > 0)
      ::send(c.sock, text.data(), static_cast<int>(text.size()), kSendFlags);
    ::shutdown(c.sock, kShutWrite);
    c.closing = true;
    c.closeBy = server_.clock_.now() + kLinger;
  }

  void release(Conn& c) {
    if (!c.reserved) return;
    std::lock_guard lock(mu_);
    budgetUsed_ -= c.bodyBytes;
    c.reserved = false;
  }

  void close(Conn& c) {
    release(c);
    CloseSocket(c.sock);
    c.done = true;
    std::lock_guard lock(mu_);
    --held_;
  }

  void work() {
    for (;;) {
      Job j;
      {
        std::unique_lock lock(mu_);
        ready_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
        if (stop_ || jobs_.empty()) return;
        j = std::move(jobs_.front());
        jobs_.pop_front();
      }
      const size_t size = j.request.size();
      const std::string_view body =
          std::string_view(j.request).substr(j.request.size() - j.bodyBytes);
      if (JsonDepth(body, limits_.maxJsonDepth) > limits_.maxJsonDepth) {
        // Parsed, such a body would take memory for every level.
        note(400, "JSON nested too deeply", j.addr);
        SendAll(j.sock, RefusalText(400, "JSON nested too deeply"));
        ::shutdown(j.sock, kShutBoth);
        CloseSocket(j.sock);
      } else {
        server_.serve(j.sock, std::move(j.request), j.addr, j.port);
      }
      {
        std::lock_guard lock(mu_);
        budgetUsed_ -= j.bodyBytes;
        --held_;
      }
      if (size > kTrimAfterBytes) ReturnFreedMemory();
    }
  }

  // One log line per refusal, at most one per kLogEvery with the count of
  // those left out: a flood of bad requests must not flood the log.
  void note(int status, const std::string& reason, const std::string& addr) {
    std::lock_guard lock(logMu_);
    const SystemTime now = server_.clock_.now();
    if (loggedOnce_ && now - lastLog_ < kLogEvery) {
      ++unlogged_;
      return;
    }
    std::string line = "settings panel: refused a request from " + addr + " (" +
                       std::to_string(status) + ": " + reason + ")";
    if (unlogged_ > 0)
      line += " and " + std::to_string(unlogged_) + " more since the last such line";
    LogWarning(line);
    loggedOnce_ = true;
    lastLog_ = now;
    unlogged_ = 0;
  }

  GatedServer& server_;
  const GateLimits& limits_;
  std::thread gate_;
  std::vector<std::thread> workers_;
  std::vector<Conn> pending_;  // the gate thread's own

  std::mutex mu_;
  std::condition_variable wake_, ready_;
  bool stop_ = false;
  std::vector<Conn> incoming_;
  std::deque<Job> jobs_;
  size_t held_ = 0;  // accepted and not closed yet
  size_t budgetUsed_ = 0;

  std::mutex logMu_;
  bool loggedOnce_ = false;
  SystemTime lastLog_;
  size_t unlogged_ = 0;
};

GatedServer::GatedServer(const Clock& clock, GateLimits limits, size_t workers,
                         std::function<bool(const std::string&)> hasSession)
    : clock_(clock), limits_(limits), workers_(workers), hasSession_(std::move(hasSession)) {
  KeepLargeBlocksReturnable();  // before the first request
  new_task_queue = [this] {
    Gate* g = new Gate(*this);
    gate_.store(g);
    return g;
  };
}

GatedServer::~GatedServer() = default;

bool GatedServer::process_and_close_socket(socket_t sock) {
  Gate* g = gate_.load();
  if (!g) {
    CloseSocket(sock);
    return false;
  }
  g->admit(sock);
  return true;
}

void GatedServer::serve(socket_t sock, std::string request, const std::string& remoteAddr,
                        int remotePort) {
  std::shared_ptr<RouteTable> table;
  if (router_) {
    const size_t end = request.find("\r\n\r\n");
    table = router_(ParseRequestHead(
        std::string_view(request).substr(0, end == std::string::npos ? 0 : end + 4), limits_));
  }
  BufferedStream stream(sock, request, remoteAddr, remotePort);
  (table ? *table : static_cast<RouteTable&>(*this)).answer(stream);
  ::shutdown(sock, kShutBoth);
  CloseSocket(sock);
}

}  // namespace bw::ui
