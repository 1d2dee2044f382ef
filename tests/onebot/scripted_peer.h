// ScriptedPeer: a OneBot v11 implementation played by a test, listening on
// 127.0.0.1 on a free port. It records every action frame the robot sends,
// answers them as scripted (by default {"status":"ok","retcode":0,"data":null}),
// pushes events to the robot, and can misbehave on purpose: refuse the token
// (HTTP 403 before the upgrade, or the retcode-1403 answer and a close), leave
// actions unanswered, answer them late, or drop the connection.
//
// It can also play an implementation that connects to the robot (the reverse
// WebSocket, dial()): the same scripting then applies to that connection.
//
// Header-only so that each test program that needs one includes it once.
// Thread-safety: all members may be called from the test's threads.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {

class ScriptedPeer {
 public:
  using Json = nlohmann::ordered_json;
  enum class BadToken { kHttp403, kRetcode1403 };
  // Returns the answer's "data"; nullopt leaves the action unanswered.
  using Answer = std::function<std::optional<Json>(const Json& params)>;

  // `port` 0 takes a free one.
  explicit ScriptedPeer(std::string token = "", BadToken policy = BadToken::kHttp403,
                        uint16_t port = 0)
      : token_(std::move(token)), policy_(policy), acceptor_(ioc_) {
    namespace net = boost::asio;
    net::ip::tcp::endpoint ep(net::ip::make_address("127.0.0.1"), port);
    acceptor_.open(ep.protocol());
    acceptor_.set_option(net::socket_base::reuse_address(true));
    acceptor_.bind(ep);
    acceptor_.listen();
    port_ = acceptor_.local_endpoint().port();
    accept();
    thread_ = std::thread([this] { ioc_.run(); });
  }

  ~ScriptedPeer() {
    boost::asio::post(ioc_, [this] {
      boost::system::error_code ignored;
      acceptor_.close(ignored);
      if (client_) client_->shutdown();
    });
    work_.reset();
    ioc_.stop();
    thread_.join();
  }

  uint16_t port() const { return port_; }
  std::string url() const { return "ws://127.0.0.1:" + std::to_string(port_); }

  // Scripted answers: data for an action, or a function of its params.
  void answer(const std::string& action, Json data) {
    answer(action, Answer([data](const Json&) { return std::optional<Json>(data); }));
  }
  void answer(const std::string& action, Answer fn) {
    std::lock_guard lock(mu_);
    answers_[action] = std::move(fn);
  }
  void neverAnswer(const std::string& action) {
    answer(action, Answer([](const Json&) { return std::optional<Json>(); }));
  }
  void fail(const std::string& action, int retcode) {
    std::lock_guard lock(mu_);
    failures_[action] = retcode;
  }
  // Answers `action` with this frame as it is (the echo added): the other
  // shapes in which implementations answer, e.g. {"status":"ok","retcode":100}.
  void reply(const std::string& action, Json frame) {
    std::lock_guard lock(mu_);
    replies_[action] = std::move(frame);
  }
  // Answers `action` only after `delay` (the next frames are read meanwhile).
  void delay(const std::string& action, std::chrono::milliseconds delay) {
    std::lock_guard lock(mu_);
    delays_[action] = delay;
  }
  // Runs on the peer's thread for every action frame, before it is answered.
  void onRequest(std::function<void(const Json& frame)> fn) {
    std::lock_guard lock(mu_);
    onRequest_ = std::move(fn);
  }
  // Every action frame received so far, with the time it came, in order.
  struct Received {
    Json frame;
    std::chrono::steady_clock::time_point at;
  };
  std::vector<Received> received() const {
    std::lock_guard lock(mu_);
    return received_;
  }

  // Sends an event (or any frame) to the connected robot.
  void send(Json frame) {
    auto text = std::make_shared<std::string>(frame.dump());
    boost::asio::post(ioc_, [this, text] {
      if (client_) client_->write(*text);
    });
  }
  // Sends raw text (malformed frames).
  void sendRaw(std::string text) {
    auto t = std::make_shared<std::string>(std::move(text));
    boost::asio::post(ioc_, [this, t] {
      if (client_) client_->write(*t);
    });
  }
  // Closes the robot's TCP connection without a WebSocket close.
  void dropClient() {
    boost::asio::post(ioc_, [this] {
      if (client_) client_->shutdown();
    });
  }

  // Like a link cut after what was sent: the frames already queued are written,
  // then the connection ends (the robot reads them, then the end).
  void dropClientAfterWrites() {
    boost::asio::post(ioc_, [this] {
      if (client_) client_->endAfterWrites();
    });
  }
  // While false, new connections are closed at once (an implementation that is down).
  void setAccepting(bool accepting) {
    std::lock_guard lock(mu_);
    accepting_ = accepting;
  }

  // Plays an implementation connecting to the robot's listener on 127.0.0.1
  // (the reverse WebSocket); the connection replaces any current one. Returns
  // at once: waitForConnections() counts the upgrade, dialStatus() tells the
  // HTTP status the robot answered (0 until it did, 101 for an upgrade).
  struct Dial {
    uint16_t port = 0;
    std::string target = "/";
    std::string authorization;          // the Authorization header, when not empty
    std::optional<std::string> selfId;  // the X-Self-ID header, when set
  };
  void dial(Dial d) {
    {
      std::lock_guard lock(mu_);
      dialStatus_ = 0;
      clientClosed_ = false;
    }
    boost::asio::post(ioc_, [this, d = std::move(d)] {
      if (client_) client_->shutdown();
      client_ = std::make_shared<Client>(boost::asio::ip::tcp::socket(ioc_), *this);
      client_->dial(d);
    });
  }
  int dialStatus() const {
    std::lock_guard lock(mu_);
    return dialStatus_;
  }
  bool waitForDialStatus(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return dialStatus_ != 0; });
  }
  bool waitClientClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return clientClosed_; });
  }
  // Whether the current connection was closed (by either end).
  bool clientClosed() const {
    std::lock_guard lock(mu_);
    return clientClosed_;
  }

  // Blocks until `n` robots have completed the upgrade (or the time-out).
  bool waitForConnections(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return upgrades_ >= n; });
  }
  int upgrades() const {
    std::lock_guard lock(mu_);
    return upgrades_;
  }
  // TCP connections accepted, refused ones included.
  int accepted() const {
    std::lock_guard lock(mu_);
    return accepted_;
  }
  std::string lastAuthorization() const {
    std::lock_guard lock(mu_);
    return lastAuthorization_;
  }

  // The next action frame the robot sent, in order.
  std::optional<Json> nextRequest(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock lock(mu_);
    if (!cv_.wait_for(lock, timeout, [&] { return !requests_.empty(); })) return std::nullopt;
    Json r = std::move(requests_.front());
    requests_.pop_front();
    return r;
  }
  // The next request with this action, skipping others (which stay recorded in `skipped`).
  std::optional<Json> nextRequest(const std::string& action,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      auto r = nextRequest(left);
      if (!r) return std::nullopt;
      if ((*r)["action"] == action) return r;
    }
  }

 private:
  struct Client : std::enable_shared_from_this<Client> {
    Client(boost::asio::ip::tcp::socket socket, ScriptedPeer& peer)
        : ws(std::move(socket)), peer(peer) {}
    boost::beast::websocket::stream<boost::beast::tcp_stream> ws;
    ScriptedPeer& peer;
    boost::beast::flat_buffer buffer;
    boost::beast::http::request<boost::beast::http::string_body> request;
    std::deque<std::string> writes;
    bool open = false;
    bool closed = false;
    boost::beast::websocket::response_type response;

    void dial(const Dial& d) {
      namespace net = boost::asio;
      const net::ip::tcp::endpoint ep(net::ip::make_address("127.0.0.1"), d.port);
      ws.next_layer().async_connect(
          ep, [self = shared_from_this(), d](boost::beast::error_code ec) {
            if (ec) return self->ended(-1);
            self->ws.set_option(boost::beast::websocket::stream_base::decorator(
                [d](boost::beast::websocket::request_type& req) {
                  if (!d.authorization.empty())
                    req.set(boost::beast::http::field::authorization, d.authorization);
                  if (d.selfId) req.set("X-Self-ID", *d.selfId);
                }));
            self->ws.async_handshake(self->response, "127.0.0.1:" + std::to_string(d.port),
                                     d.target, [self](boost::beast::error_code ec) {
                                       if (ec) {
                                         const int status =
                                             static_cast<int>(self->response.result_int());
                                         return self->ended(status == 0 ? -1 : status);
                                       }
                                       {
                                         std::lock_guard lock(self->peer.mu_);
                                         self->peer.dialStatus_ = 101;
                                         ++self->peer.upgrades_;
                                       }
                                       self->peer.cv_.notify_all();
                                       self->open = true;
                                       if (!self->writes.empty()) self->doWrite();
                                       self->read();
                                     });
          });
    }

    // A dial that ended before the upgrade: `status` as answered, -1 for none.
    void ended(int status) {
      closed = true;
      {
        std::lock_guard lock(peer.mu_);
        peer.dialStatus_ = status;
        peer.clientClosed_ = true;
      }
      peer.cv_.notify_all();
    }

    void start() {
      boost::beast::http::async_read(
          ws.next_layer(), buffer, request,
          [self = shared_from_this()](boost::beast::error_code ec, size_t) {
            if (!ec) self->onRequest();
          });
    }

    void onRequest() {
      namespace http = boost::beast::http;
      std::string auth(request[http::field::authorization]);
      const bool good = peer.token_.empty() || auth == "Bearer " + peer.token_;
      {
        std::lock_guard lock(peer.mu_);
        peer.lastAuthorization_ = auth;
      }
      if (!good && peer.policy_ == BadToken::kHttp403) {
        auto res = std::make_shared<http::response<http::string_body>>(http::status::forbidden,
                                                                       request.version());
        res->body() = "token mismatch";
        res->prepare_payload();
        http::async_write(ws.next_layer(), *res,
                          [self = shared_from_this(), res](boost::beast::error_code, size_t) {
                            boost::beast::error_code ignored;
                            self->ws.next_layer().socket().shutdown(
                                boost::asio::ip::tcp::socket::shutdown_both, ignored);
                          });
        return;
      }
      ws.async_accept(request, [self = shared_from_this(), good](boost::beast::error_code ec) {
        if (ec) return;
        self->open = true;
        if (!self->writes.empty()) self->doWrite();
        {
          std::lock_guard lock(self->peer.mu_);
          ++self->peer.upgrades_;
        }
        self->peer.cv_.notify_all();
        if (!good) {
          self->write(
              R"({"status":"failed","retcode":1403,"data":null,"message":"token verify failed","wording":"token验证失败","echo":null})");
          self->closeAfterWrites = true;
        }
        self->read();
      });
    }

    bool closeAfterWrites = false;

    void read() {
      buffer.clear();
      ws.async_read(buffer, [self = shared_from_this()](boost::beast::error_code ec, size_t) {
        if (ec) {
          self->open = false;
          self->closed = true;
          {
            std::lock_guard lock(self->peer.mu_);
            if (self->peer.client_.get() == self.get()) self->peer.clientClosed_ = true;
          }
          self->peer.cv_.notify_all();
          return;
        }
        self->peer.onFrame(*self, boost::beast::buffers_to_string(self->buffer.data()));
        self->read();
      });
    }

    // Frames sent before the upgrade completed wait for it.
    void write(std::string text) {
      if (closed) return;
      writes.push_back(std::move(text));
      if (open && writes.size() == 1) doWrite();
    }

    void doWrite() {
      ws.text(true);
      ws.async_write(boost::asio::buffer(writes.front()),
                     [self = shared_from_this()](boost::beast::error_code ec, size_t) {
                       if (ec) return;
                       self->writes.pop_front();
                       if (!self->writes.empty()) return self->doWrite();
                       if (self->endAfter) return self->halfClose();
                       if (self->closeAfterWrites) {
                         self->ws.async_close(boost::beast::websocket::close_code::policy_error,
                                              [self](boost::beast::error_code) {});
                       }
                     });
    }

    void endAfterWrites() {
      if (writes.empty() || !open) return halfClose();
      endAfter = true;
    }
    bool endAfter = false;
    void halfClose() {
      boost::beast::error_code ignored;
      ws.next_layer().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    }

    void shutdown() {
      open = false;
      closed = true;
      boost::beast::error_code ignored;
      ws.next_layer().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
      ws.next_layer().socket().close(ignored);
    }
  };

  void accept() {
    acceptor_.async_accept([this](boost::beast::error_code ec, boost::asio::ip::tcp::socket s) {
      if (ec) return;
      bool accepting = true;
      {
        std::lock_guard lock(mu_);
        ++accepted_;
        accepting = accepting_;
      }
      if (!accepting) {
        boost::system::error_code ignored;
        s.close(ignored);
        return accept();
      }
      if (client_) client_->shutdown();  // one robot at a time
      client_ = std::make_shared<Client>(std::move(s), *this);
      client_->start();
      accept();
    });
  }

  void onFrame(Client& client, std::string text) {
    Json frame = Json::parse(text, nullptr, false);
    if (frame.is_discarded()) return;
    std::optional<Json> data = Json();
    std::optional<Json> shaped;
    int failure = 0;
    std::chrono::milliseconds late{0};
    std::function<void(const Json&)> hook;
    {
      std::lock_guard lock(mu_);
      requests_.push_back(frame);
      received_.push_back({frame, std::chrono::steady_clock::now()});
      const std::string action = frame.value("action", "");
      if (auto it = answers_.find(action); it != answers_.end())
        data = it->second(frame.contains("params") ? frame["params"] : Json::object());
      if (auto it = failures_.find(action); it != failures_.end()) failure = it->second;
      if (auto it = replies_.find(action); it != replies_.end()) shaped = it->second;
      if (auto it = delays_.find(action); it != delays_.end()) late = it->second;
      hook = onRequest_;
    }
    cv_.notify_all();
    if (hook) hook(frame);
    if (!data) return;  // never answered
    Json reply = Json::object();
    reply["status"] = failure ? "failed" : "ok";
    reply["retcode"] = failure;
    reply["data"] = failure ? Json() : *data;
    reply["message"] = "";
    reply["echo"] = frame.contains("echo") ? frame["echo"] : Json();
    if (shaped) {
      reply = *shaped;
      reply["echo"] = frame.contains("echo") ? frame["echo"] : Json();
    }
    if (late.count() == 0) return client.write(reply.dump());
    auto timer = std::make_shared<boost::asio::steady_timer>(ioc_, late);
    timer->async_wait([timer, self = client.shared_from_this(),
                       text = reply.dump()](boost::beast::error_code ec) {
      if (!ec) self->write(text);
    });
  }

  const std::string token_;
  const BadToken policy_;
  boost::asio::io_context ioc_;
  std::optional<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> work_{
      boost::asio::make_work_guard(ioc_)};
  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;
  std::shared_ptr<Client> client_;

  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::map<std::string, Answer> answers_;
  std::map<std::string, int> failures_;
  std::map<std::string, Json> replies_;
  std::map<std::string, std::chrono::milliseconds> delays_;
  std::function<void(const Json&)> onRequest_;
  std::vector<Received> received_;
  std::deque<Json> requests_;
  int upgrades_ = 0;
  int dialStatus_ = 0;
  bool clientClosed_ = false;
  bool accepting_ = true;
  int accepted_ = 0;
  std::string lastAuthorization_;
};

}  // namespace bw::test
