#include "onebot/reverse_listener.h"

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <cctype>
#include <charconv>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "onebot/accepted_link.h"
#include "util/log.h"

namespace bw::onebot {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;

namespace {

std::string_view View(beast::string_view v) { return {v.data(), v.size()}; }

// A misconfigured implementation retries every few seconds: one line a minute says it.
constexpr Millis kLogInterval{60000};
constexpr size_t kMaxRememberedSources = 4096;
constexpr size_t kMaxRequestBody = 1024;  // an upgrade request has none

// The time taken depends on the expected token's length only.
bool ConstantTimeEquals(std::string_view given, std::string_view expected) {
  unsigned diff = given.size() == expected.size() ? 0u : 1u;
  for (size_t i = 0; i < expected.size(); ++i) {
    const auto g = static_cast<unsigned char>(i < given.size() ? given[i] : 0);
    diff |= g ^ static_cast<unsigned char>(expected[i]);
  }
  return diff == 0;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i] == '+' ? ' ' : s[i];
    }
  }
  return out;
}

// The value of `key` in a query string, percent-decoded; nullopt when absent.
std::optional<std::string> QueryValue(std::string_view query, std::string_view key) {
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const size_t eq = pair.find('=');
    if (pair.substr(0, eq) == key)
      return eq == std::string_view::npos ? std::string() : PercentDecoded(pair.substr(eq + 1));
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return std::nullopt;
}

// The token of "Bearer <token>" (the scheme in any case); nullopt otherwise.
std::optional<std::string> BearerToken(std::string_view header) {
  constexpr std::string_view kScheme = "bearer ";
  if (header.size() < kScheme.size()) return std::nullopt;
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return std::nullopt;
  }
  header.remove_prefix(kScheme.size());
  while (!header.empty() && (header.front() == ' ' || header.front() == '\t'))
    header.remove_prefix(1);
  while (!header.empty() && (header.back() == ' ' || header.back() == '\t'))
    header.remove_suffix(1);
  return std::string(header);
}

bool IsLoopback(const net::ip::address& a) { return a.is_loopback(); }

}  // namespace

bool ParseListenAddress(std::string_view text, ListenOptions& options, std::string& error) {
  std::string address = options.address;
  std::string_view port = text;
  if (text.starts_with("[")) {
    const size_t close = text.find(']');
    if (close == std::string_view::npos || text.substr(close + 1, 1) != ":") {
      error = "write an IPv6 address as [ADDRESS]:PORT";
      return false;
    }
    address = std::string(text.substr(1, close - 1));
    port = text.substr(close + 2);
  } else if (const size_t colon = text.rfind(':'); colon != std::string_view::npos) {
    address = std::string(text.substr(0, colon));
    port = text.substr(colon + 1);
    if (address.find(':') != std::string::npos) {
      error = "write an IPv6 address in brackets: [ADDRESS]:PORT";
      return false;
    }
    if (address.empty()) {
      error = "no address before the colon; give PORT alone to listen on 127.0.0.1";
      return false;
    }
  }
  boost::system::error_code ec;
  net::ip::make_address(address, ec);
  if (ec) {
    error = "\"" + address + "\" is no IP address (a host name is not accepted here)";
    return false;
  }
  unsigned value = 0;
  const auto [end, err] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (port.empty() || err != std::errc{} || end != port.data() + port.size() || value == 0 ||
      value > 65535) {
    error = "the port must be a number from 1 to 65535";
    return false;
  }
  options.address = std::move(address);
  options.port = static_cast<uint16_t>(value);
  return true;
}

struct ReverseListener::Impl {
  Impl(Clock& clock, ListenOptions options, AccountFor accountFor)
      : clock(clock), options(std::move(options)), accountFor(std::move(accountFor)) {}

  // A connection accepted whose upgrade request is not yet read and checked.
  struct Pending {
    explicit Pending(tcp::socket s) : socket(std::move(s)) {}
    tcp::socket socket;
    beast::flat_buffer buffer;
    http::request_parser<http::string_body> parser;
    SystemTime acceptedAt{};
    std::string source;  // the address alone: logs are limited per source
    std::string peer;    // address and port
    bool answering = false;
  };

  Clock& clock;
  const ListenOptions options;
  const AccountFor accountFor;

  net::io_context ioc{1};
  std::optional<net::executor_work_guard<net::io_context::executor_type>> work{
      net::make_work_guard(ioc)};
  tcp::acceptor acceptor{ioc};
  std::thread thread;
  std::jthread sweeper;
  uint16_t boundPort = 0;
  std::string where;

  mutable std::mutex mu;
  Stats stats;

  // I/O thread only.
  std::map<Pending*, std::shared_ptr<Pending>> pending;
  bool acceptPaused = false;
  std::map<std::string, SystemTime> lastLogged;  // by what and from where

  template <typename F>
  void count(F f) {
    std::lock_guard lock(mu);
    f(stats);
    stats.pending = pending.size();
  }

  // At most one line a minute for each `key` (a kind of refusal and its source).
  void logLimited(const std::string& key, const std::string& line) {
    const SystemTime now = clock.now();
    auto it = lastLogged.find(key);
    if (it != lastLogged.end() && now - it->second < kLogInterval) return;
    if (it == lastLogged.end() && lastLogged.size() >= kMaxRememberedSources) {
      std::erase_if(lastLogged, [&](const auto& e) { return now - e.second >= kLogInterval; });
      if (lastLogged.size() >= kMaxRememberedSources) return;  // a flood: enough was said
    }
    lastLogged[key] = now;
    LogWarning(line);
  }

  void doAccept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec == net::error::operation_aborted || !acceptor.is_open()) return;
      if (ec) {
        // Out of file descriptors, most likely: try again at the next sweep.
        logLimited("accept", "OneBot: cannot accept connections on " + where + ": " + ec.message() +
                                 "; trying again shortly");
        acceptPaused = true;
        return;
      }
      onAccepted(std::move(socket));
      doAccept();
    });
  }

  void onAccepted(tcp::socket socket) {
    beast::error_code ec;
    const tcp::endpoint remote = socket.remote_endpoint(ec);
    if (ec) return;  // gone already
    if (pending.size() >= options.maxPending) {
      socket.close(ec);
      count([](Stats& s) {
        ++s.accepted;
        ++s.overLimit;
      });
      logLimited("over limit", "OneBot: " + std::to_string(options.maxPending) +
                                   " connections wait for their upgrade request to be read; "
                                   "more are closed at once (the latest from " +
                                   remote.address().to_string() + ")");
      return;
    }
    auto p = std::make_shared<Pending>(std::move(socket));
    p->acceptedAt = clock.now();
    p->source = remote.address().to_string();
    p->peer = (remote.address().is_v6() ? "[" + p->source + "]" : p->source) + ":" +
              std::to_string(remote.port());
    p->parser.header_limit(static_cast<uint32_t>(options.maxRequestBytes));
    p->parser.body_limit(kMaxRequestBody);
    p->buffer = beast::flat_buffer(options.maxRequestBytes + kMaxRequestBody);
    pending[p.get()] = p;
    count([](Stats& s) { ++s.accepted; });
    http::async_read(p->socket, p->buffer, p->parser,
                     [this, p](beast::error_code ec, size_t) { onRequest(p, ec); });
  }

  void forget(const std::shared_ptr<Pending>& p) {
    beast::error_code ignored;
    p->socket.close(ignored);
    pending.erase(p.get());
    count([](Stats&) {});
  }

  void refuse(const std::shared_ptr<Pending>& p, http::status status, std::string body) {
    count([](Stats& s) { ++s.refused; });
    respond(p, status, std::move(body));
  }

  void respond(const std::shared_ptr<Pending>& p, http::status status, std::string body) {
    p->answering = true;
    auto res = std::make_shared<http::response<http::string_body>>(status, 11);
    res->set(http::field::server, std::string("brindle-warden/") + BW_VERSION);
    res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->set(http::field::connection, "close");
    if (status == http::status::unauthorized)
      res->set(http::field::www_authenticate, "Bearer realm=\"OneBot\"");
    res->body() = std::move(body) + "\n";
    res->prepare_payload();
    http::async_write(p->socket, *res, [this, p, res](beast::error_code, size_t) {
      beast::error_code ignored;
      p->socket.shutdown(tcp::socket::shutdown_both, ignored);
      forget(p);
    });
  }

  void onRequest(const std::shared_ptr<Pending>& p, beast::error_code ec) {
    if (!pending.contains(p.get())) return;  // timed out or stopped meanwhile
    if (ec) {
      if (ec == http::error::end_of_stream || ec == net::error::eof ||
          ec == net::error::connection_reset) {
        count([](Stats& s) { ++s.refused; });
        return forget(p);
      }
      if (ec == http::error::header_limit || ec == http::error::buffer_overflow ||
          ec == http::error::body_limit) {
        logLimited("too large " + p->source, "OneBot: refused a connection from " + p->peer +
                                                 ": its request is larger than " +
                                                 std::to_string(options.maxRequestBytes) +
                                                 " bytes (431)");
        return refuse(p, http::status::request_header_fields_too_large, "request too large");
      }
      logLimited("garbage " + p->source, "OneBot: refused a connection from " + p->peer +
                                             ": not an HTTP request (" + ec.message() + ")");
      return refuse(p, http::status::bad_request, "not an HTTP request");
    }
    const auto& req = p->parser.get();
    const std::string_view target = View(req.target());
    const size_t q = target.find('?');
    const std::string_view path = target.substr(0, q);
    const std::string_view query =
        q == std::string_view::npos ? std::string_view() : target.substr(q + 1);
    if (path != "/" && path != "/onebot/v11/ws" && path != "/onebot/v11/ws/") {
      logLimited("path " + p->source, "OneBot: refused a connection from " + p->peer + " to " +
                                          std::string(path.substr(0, 100)) +
                                          ": connect to / or /onebot/v11/ws (404)");
      return refuse(p, http::status::not_found, "connect to / or /onebot/v11/ws");
    }
    if (!beast::websocket::is_upgrade(req)) {
      logLimited("no upgrade " + p->source, "OneBot: refused a connection from " + p->peer +
                                                ": not a WebSocket upgrade (426)");
      return refuse(p, http::status::upgrade_required, "a OneBot v11 WebSocket is expected here");
    }
    if (!options.accessToken.empty()) {
      std::optional<std::string> given;
      if (auto auth = req.find(http::field::authorization); auth != req.end())
        given = BearerToken(View(auth->value()));
      if (!given) given = QueryValue(query, "access_token");
      if (!given || !ConstantTimeEquals(*given, options.accessToken)) {
        count([](Stats& s) { ++s.unauthorized; });
        logLimited("token " + p->source,
                   "OneBot: refused a connection from " + p->peer + ": " +
                       (given ? "wrong access token" : "no access token") +
                       " (401). The implementation must send the token of --token, "
                       "--token-file or access_token= as \"Authorization: Bearer …\" or "
                       "?access_token=");
        return respond(p, http::status::unauthorized, "access token missing or wrong");
      }
    }
    std::optional<int64_t> selfId;
    if (auto header = req.find("X-Self-ID"); header != req.end()) {
      const std::string_view v = View(header->value());
      int64_t n = 0;
      const auto [end, err] = std::from_chars(v.data(), v.data() + v.size(), n);
      if (!v.empty() && err == std::errc{} && end == v.data() + v.size() && n > 0) selfId = n;
    }
    if (!selfId) {
      logLimited("self " + p->source, "OneBot: refused a connection from " + p->peer +
                                          ": no account number in X-Self-ID (400)");
      return refuse(p, http::status::bad_request, "X-Self-ID must name the robot's QQ account");
    }
    Connection* connection = nullptr;
    try {
      connection = accountFor ? accountFor(*selfId) : nullptr;
    } catch (const std::exception& e) {
      LogWarning(std::string("OneBot: cannot serve account ") + std::to_string(*selfId) + ": " +
                 e.what());
    }
    if (connection == nullptr) {
      logLimited("account " + std::to_string(*selfId) + " " + p->source,
                 "OneBot: refused a connection from " + p->peer + " for account " +
                     std::to_string(*selfId) + ": this service does not serve it (403)");
      return refuse(p, http::status::forbidden, "this service does not serve that account");
    }
    auto link = std::make_unique<AcceptedLink>();
    link->protocol = p->socket.local_endpoint(ec).protocol();
    link->request = p->parser.release();
    link->selfId = *selfId;
    link->peer = p->peer;
    link->deadline = p->acceptedAt + options.handshakeTimeout;
    try {
      link->handle = p->socket.release();
    } catch (const std::exception& e) {
      LogWarning("OneBot: cannot hand over the connection from " + p->peer + ": " + e.what());
      return forget(p);
    }
    pending.erase(p.get());
    count([](Stats& s) { ++s.handedOver; });
    connection->adopt(std::move(link));
  }

  // Connections that sent no complete request in time; accepting again after an error.
  void sweep() {
    const SystemTime now = clock.now();
    size_t closed = 0;
    std::string from;
    for (auto it = pending.begin(); it != pending.end();) {
      Pending& p = *it->second;
      if (now - p.acceptedAt < options.handshakeTimeout) {
        ++it;
        continue;
      }
      beast::error_code ignored;
      p.socket.close(ignored);
      from = p.peer;
      ++closed;
      it = pending.erase(it);
    }
    if (closed > 0) {
      count([&](Stats& s) { s.timedOut += closed; });
      logLimited("timeout", "OneBot: closed " + std::to_string(closed) +
                                " connections that completed no upgrade request within " +
                                std::to_string(options.handshakeTimeout.count()) +
                                " ms (the latest from " + from + ")");
    }
    if (acceptPaused && acceptor.is_open()) {
      acceptPaused = false;
      doAccept();
    }
  }

  bool start() {
    boost::system::error_code ec;
    const auto address = net::ip::make_address(options.address, ec);
    if (ec) {
      LogError("OneBot: cannot listen on \"" + options.address + "\": no IP address");
      return false;
    }
    const tcp::endpoint ep(address, options.port);
    acceptor.open(ep.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(ep, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
      LogError("OneBot: cannot listen for OneBot implementations on " + options.address + ":" +
               std::to_string(options.port) + ": " + ec.message());
      acceptor.close(ec);
      return false;
    }
    boundPort = acceptor.local_endpoint(ec).port();
    where = (address.is_v6() ? "[" + options.address + "]" : options.address) + ":" +
            std::to_string(boundPort);
    LogInfo("OneBot: listening for OneBot v11 implementations on ws://" + where +
            "/ (also /onebot/v11/ws)");
    if (!IsLoopback(address)) {
      LogWarning(options.accessToken.empty()
                     ? "OneBot: listening on " + where +
                           " beyond this machine without an access token: anyone who reaches "
                           "it can act as the implementation. Set access_token= in the config."
                     : "OneBot: listening on " + where +
                           " beyond this machine: the access token is all that guards it");
    }
    doAccept();
    thread = std::thread([this] { ioc.run(); });
    sweeper = std::jthread([this](std::stop_token stop) {
      while (clock.sleepFor(options.sweepInterval, stop)) net::post(ioc, [this] { sweep(); });
    });
    return true;
  }

  void stop() {
    if (sweeper.joinable()) {
      sweeper.request_stop();
      sweeper.join();
    }
    if (!thread.joinable()) return;
    net::post(ioc, [this] {
      beast::error_code ignored;
      acceptor.close(ignored);
      for (auto& [key, p] : pending) p->socket.close(ignored);
      pending.clear();
      count([](Stats&) {});
      work.reset();
      ioc.stop();
    });
    thread.join();
  }
};

ReverseListener::ReverseListener(Clock& clock, ListenOptions options, AccountFor accountFor)
    : impl_(std::make_shared<Impl>(clock, std::move(options), std::move(accountFor))) {}

ReverseListener::~ReverseListener() { stop(); }

bool ReverseListener::start() { return impl_->start(); }
void ReverseListener::stop() { impl_->stop(); }
uint16_t ReverseListener::port() const { return impl_->boundPort; }
std::string ReverseListener::where() const { return impl_->where; }
const ListenOptions& ReverseListener::options() const { return impl_->options; }

ReverseListener::Stats ReverseListener::stats() const {
  std::lock_guard lock(impl_->mu);
  return impl_->stats;
}

}  // namespace bw::onebot
