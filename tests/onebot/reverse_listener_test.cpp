// The reverse WebSocket: scripted implementations (and raw sockets playing
// broken ones) connect to the robot's listener on 127.0.0.1.
#include "onebot/reverse_listener.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <boost/asio.hpp>
#include <thread>

#include "scripted_peer.h"
#include "util/log.h"

namespace bw::onebot {
namespace {

using test::ScriptedPeer;
using namespace std::chrono_literals;
using tcp = boost::asio::ip::tcp;

constexpr int64_t kAccount = 10001;

template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 5000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

class Logs {
 public:
  Logs() {
    old_ = SetLogSink([this](LogLevel, std::string_view m) {
      std::lock_guard lock(mu_);
      lines_.emplace_back(m);
    });
  }
  ~Logs() { SetLogSink(std::move(old_)); }
  size_t count(std::string_view part) const {
    std::lock_guard lock(mu_);
    size_t n = 0;
    for (const auto& l : lines_) n += l.find(part) != std::string::npos ? 1 : 0;
    return n;
  }

 private:
  LogSink old_;
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

Json Lifecycle(int64_t selfId) {
  return Json{{"time", 1700000000},
              {"self_id", selfId},
              {"post_type", "meta_event"},
              {"meta_event_type", "lifecycle"},
              {"sub_type", "connect"}};
}

Json GroupMessage(int64_t selfId, int64_t messageId) {
  return Json{{"time", 1700000001},      {"self_id", selfId},       {"post_type", "message"},
              {"message_type", "group"}, {"sub_type", "normal"},    {"message_id", messageId},
              {"group_id", 500},         {"user_id", 777},          {"raw_message", "hi"},
              {"message", "hi"},         {"sender", Json::object()}};
}

ScriptedPeer::Dial As(uint16_t port, std::string selfId = std::to_string(kAccount),
                      std::string authorization = "Bearer secret", std::string target = "/") {
  ScriptedPeer::Dial d;
  d.port = port;
  d.target = std::move(target);
  d.authorization = std::move(authorization);
  d.selfId = std::move(selfId);
  return d;
}

// The robot's side: one reverse Connection for kAccount behind a listener.
struct Robot {
  explicit Robot(Clock& clock, ListenOptions listen = {}, ConnectionOptions options = {}) {
    options.reverse = true;
    options.selfId = kAccount;
    options.callTimeout = 5000ms;
    connection = std::make_unique<Connection>(clock, options);
    connection->setEventHandler([this](const Json& e) {
      std::lock_guard lock(mu);
      events.push_back(e);
    });
    EXPECT_TRUE(connection->start());
    if (listen.accessToken.empty()) listen.accessToken = "secret";
    listener = std::make_unique<ReverseListener>(clock, listen, [this](int64_t id) -> Connection* {
      std::lock_guard lock(mu);
      asked.push_back(id);
      return id == kAccount ? connection.get() : nullptr;
    });
    EXPECT_TRUE(listener->start());
  }
  ~Robot() {
    listener->stop();
    connection->stop();
  }
  bool connected() const { return connection->state() == LinkState::kConnected; }
  bool sawMessage(int64_t id) {
    std::lock_guard lock(mu);
    for (const auto& e : events)
      if (e.value("message_id", int64_t{0}) == id) return true;
    return false;
  }
  // An implementation connects and proves its account with the first event.
  void connect(ScriptedPeer& peer, ScriptedPeer::Dial d) {
    peer.dial(std::move(d));
    peer.send(Lifecycle(kAccount));
    ASSERT_TRUE(Eventually([&] { return connected(); }));
  }
  void connect(ScriptedPeer& peer) { connect(peer, As(listener->port())); }
  // The connected implementation still carries calls and events.
  void expectLinkWorks(ScriptedPeer& peer, int64_t messageId) {
    peer.answer("get_login_info", Json{{"user_id", kAccount}, {"nickname", "青榆"}});
    const CallResult r = connection->call("get_login_info");
    EXPECT_TRUE(r.ok) << r.status;
    EXPECT_EQ(r.data.value("nickname", ""), "青榆");
    peer.send(GroupMessage(kAccount, messageId));
    EXPECT_TRUE(Eventually([&] { return sawMessage(messageId); }));
  }

  std::unique_ptr<Connection> connection;
  std::unique_ptr<ReverseListener> listener;
  std::mutex mu;
  std::vector<Json> events;
  std::vector<int64_t> asked;
};

// A raw TCP connection to the listener, reads bounded by a real time-out.
struct RawClient {
  explicit RawClient(uint16_t port) : socket(ioc) {
    socket.connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
    timeval tv{2, 0};
    setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  void send(std::string_view text) { boost::asio::write(socket, boost::asio::buffer(text)); }
  // What the listener answered until it closed the connection ("" when it
  // answered nothing; "<open>" when it neither answered nor closed in time).
  std::string answer() {
    std::string out;
    char buf[4096];
    while (true) {
      const ssize_t n = ::recv(socket.native_handle(), buf, sizeof buf, 0);
      if (n > 0) {
        out.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return out + "<open>";
      return out;
    }
  }
  boost::asio::io_context ioc;
  tcp::socket socket;
};

TEST(ListenAddress, TakesAPortAloneOrWithAnAddress) {
  struct Case {
    const char* text;
    const char* address;  // nullptr: refused
    uint16_t port;
  };
  for (const Case& c :
       {Case{"6700", "127.0.0.1", 6700}, Case{"0.0.0.0:8080", "0.0.0.0", 8080},
        Case{"[::1]:6700", "::1", 6700}, Case{"192.168.1.5:1", "192.168.1.5", 1},
        Case{"0", nullptr, 0}, Case{"70000", nullptr, 0}, Case{"67a", nullptr, 0},
        Case{":6700", nullptr, 0}, Case{"::1:6700", nullptr, 0}, Case{"bot.local:6700", nullptr, 0},
        Case{"[::1]6700", nullptr, 0}, Case{"", nullptr, 0}}) {
    ListenOptions o;
    std::string error;
    const bool ok = ParseListenAddress(c.text, o, error);
    EXPECT_EQ(ok, c.address != nullptr) << c.text;
    if (!ok) {
      EXPECT_FALSE(error.empty()) << c.text;
      EXPECT_EQ(o.address, "127.0.0.1") << c.text;  // left as it was
      continue;
    }
    EXPECT_EQ(o.address, c.address) << c.text;
    EXPECT_EQ(o.port, c.port) << c.text;
  }
}

TEST(ReverseListener, EventsReachTheRobotAndCallsAnswerOnEitherEndpointAndTokenForm) {
  RealClock clock;
  struct Case {
    const char* target;
    const char* authorization;
  };
  int64_t messageId = 1;
  for (const Case& c :
       {Case{"/", "Bearer secret"}, Case{"/onebot/v11/ws", "bearer secret"},
        Case{"/onebot/v11/ws?access_token=secret", ""}, Case{"/?x=1&access_token=%73ecret", ""}}) {
    SCOPED_TRACE(c.target);
    Robot robot(clock);
    ScriptedPeer peer;
    robot.connect(peer,
                  As(robot.listener->port(), std::to_string(kAccount), c.authorization, c.target));
    robot.expectLinkWorks(peer, ++messageId);
    robot.connection->post("set_group_kick", Json{{"group_id", 500}, {"user_id", 777}});
    auto kick = peer.nextRequest("set_group_kick");
    ASSERT_TRUE(kick);
    EXPECT_EQ((*kick)["params"]["user_id"], 777);
    EXPECT_EQ(robot.listener->stats().handedOver, 1u);
    EXPECT_EQ(robot.asked, std::vector<int64_t>{kAccount});
    std::lock_guard lock(robot.mu);
    ASSERT_FALSE(robot.events.empty());
    EXPECT_EQ(robot.events.front().value("meta_event_type", ""), "lifecycle");
  }
}

TEST(ReverseListener, AWrongOrMissingTokenIsRefusedWith401AndLoggedOncePerSourceAndMinute) {
  VirtualClock clock(LocalTime(2026, 12, 8, 20), VirtualClock::Mode::kManual);
  Logs logs;
  Robot robot(clock);
  const uint16_t port = robot.listener->port();
  ScriptedPeer peer;
  int refusals = 0;
  for (const auto& d :
       {As(port, "10001", ""), As(port, "10001", "Bearer wrong"), As(port, "10001", "Basic secret"),
        As(port, "10001", "Bearer secre"), As(port, "10001", "", "/?access_token=wrong"),
        As(port, "10001", "Bearer wrong", "/?access_token=secret")}) {
    SCOPED_TRACE(d.authorization + " " + d.target);
    peer.dial(d);
    ASSERT_TRUE(peer.waitForDialStatus());
    EXPECT_EQ(peer.dialStatus(), 401);
    ++refusals;
  }
  EXPECT_EQ(peer.upgrades(), 0);
  EXPECT_EQ(robot.listener->stats().unauthorized, static_cast<uint64_t>(refusals));
  EXPECT_TRUE(robot.asked.empty());  // no account is looked up before the token holds
  EXPECT_EQ(logs.count("(401)"), 1u);
  clock.advance(61s);
  peer.dial(As(port, "10001", "Bearer wrong"));
  ASSERT_TRUE(peer.waitForDialStatus());
  EXPECT_EQ(logs.count("(401)"), 2u);  // a minute later it is said again
  EXPECT_FALSE(robot.connected());
}

TEST(ReverseListener, AnAccountNotServedOrNotProvedIsRefusedAndTheConnectedOneStays) {
  RealClock clock;
  Logs logs;
  Robot robot(clock);
  const uint16_t port = robot.listener->port();
  ScriptedPeer real;
  robot.connect(real);
  struct Case {
    std::optional<std::string> selfId;
    int status;
  };
  ScriptedPeer other;
  for (const Case& c : {Case{std::nullopt, 400}, Case{"abc", 400}, Case{"-5", 400},
                        Case{"99999999999999999999", 400}, Case{"30003", 403}}) {
    auto d = As(port);
    d.selfId = c.selfId;
    other.dial(d);
    ASSERT_TRUE(other.waitForDialStatus());
    EXPECT_EQ(other.dialStatus(), c.status) << c.selfId.value_or("(none)");
  }
  EXPECT_EQ(robot.asked, (std::vector<int64_t>{kAccount, 30003}));
  // Upgraded with the right header, but its events are another account's.
  other.dial(As(port));
  other.send(Lifecycle(20002));
  ASSERT_TRUE(other.waitClientClosed());
  EXPECT_EQ(logs.count("sent an event of account 20002"), 1u);
  // No self_id at all is no proof either.
  other.dial(As(port));
  Json anonymous = Lifecycle(kAccount);
  anonymous.erase("self_id");
  other.send(anonymous);
  ASSERT_TRUE(other.waitClientClosed());
  EXPECT_TRUE(robot.connected());
  EXPECT_FALSE(real.clientClosed());
  robot.expectLinkWorks(real, 42);
  std::lock_guard lock(robot.mu);
  for (const auto& e : robot.events) EXPECT_EQ(e.value("self_id", int64_t{0}), kAccount);
}

TEST(ReverseListener, GarbageIsRefusedOrClosedWithoutAffectingTheConnectedAccount) {
  RealClock clock;
  Logs logs;
  ListenOptions listen;
  listen.maxRequestBytes = 2048;
  Robot robot(clock, listen);
  const uint16_t port = robot.listener->port();
  ScriptedPeer real;
  robot.connect(real);
  struct Case {
    std::string sent;
    const char* answer;
  };
  const std::string upgrade =
      "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nAuthorization: Bearer secret\r\n"
      "X-Self-ID: 10001\r\n";
  for (const Case& c : {
           Case{std::string("\x16\x03\x01\x02\x00garbage\r\n\r\n", 18), "HTTP/1.1 400"},
           Case{"GET /other HTTP/1.1\r\nHost: x\r\n" + upgrade + "\r\n", "HTTP/1.1 404"},
           Case{"GET / HTTP/1.1\r\nHost: x\r\nAuthorization: Bearer secret\r\n\r\n",
                "HTTP/1.1 426"},
           Case{"GET / HTTP/1.1\r\nHost: x\r\nX-Pad: " + std::string(4000, 'a') + "\r\n\r\n",
                "HTTP/1.1 431"},
           Case{"GET / HTTP/1.1\r\n", "<open>"},  // incomplete: waits for the time-out
       }) {
    RawClient raw(port);
    raw.send(c.sent);
    EXPECT_TRUE(raw.answer().starts_with(c.answer)) << c.answer;
  }
  // Upgraded, then no JSON: closed.
  ScriptedPeer bad;
  bad.dial(As(port));
  bad.sendRaw("\x01\x02 not json");
  ASSERT_TRUE(bad.waitClientClosed());
  EXPECT_EQ(logs.count("sent no event first"), 1u);
  EXPECT_TRUE(robot.connected());
  robot.expectLinkWorks(real, 43);
  EXPECT_GE(robot.listener->stats().refused, 4u);
}

TEST(ReverseListener, SilencePastTheHandshakeTimeOutIsClosedOnTheClock) {
  VirtualClock clock(LocalTime(2026, 12, 8, 20), VirtualClock::Mode::kManual);
  Logs logs;
  ListenOptions listen;
  listen.handshakeTimeout = 5000ms;
  Robot robot(clock, listen);
  const uint16_t port = robot.listener->port();
  RawClient silent(port);
  ScriptedPeer mute;  // upgrades, then sends no event
  mute.dial(As(port));
  ASSERT_TRUE(mute.waitForDialStatus());
  ASSERT_EQ(mute.dialStatus(), 101);
  ASSERT_TRUE(Eventually([&] { return robot.listener->stats().pending == 1; }));
  clock.advance(4000ms);
  ASSERT_TRUE(clock.waitForSleepers(2));
  std::this_thread::sleep_for(100ms);  // the sweeps find nothing expired yet
  EXPECT_EQ(robot.listener->stats().timedOut, 0u);
  EXPECT_FALSE(mute.clientClosed());
  clock.advance(1500ms);
  EXPECT_EQ(silent.answer(), "");  // closed without an answer
  ASSERT_TRUE(mute.waitClientClosed());
  EXPECT_EQ(robot.listener->stats().timedOut, 1u);
  EXPECT_EQ(robot.listener->stats().pending, 0u);
  EXPECT_EQ(logs.count("sent no event within the handshake time-out"), 1u);
  EXPECT_FALSE(robot.connected());
}

TEST(ReverseListener, AThousandConnectionsAtOnceAreBoundedAndTheConnectedAccountIsUnaffected) {
  RealClock clock;
  ListenOptions listen;
  listen.maxPending = 64;
  listen.handshakeTimeout = 1000ms;
  listen.sweepInterval = 100ms;
  Robot robot(clock, listen);
  const uint16_t port = robot.listener->port();
  ScriptedPeer real;
  robot.connect(real);
  boost::asio::io_context ioc;
  std::vector<tcp::socket> flood;
  size_t peakPending = 0;
  for (int i = 0; i < 1000; ++i) {
    flood.emplace_back(ioc);
    boost::system::error_code ec;
    flood.back().connect(tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port), ec);
    ASSERT_FALSE(ec) << i << ": " << ec.message();
    if (i % 50 == 0) peakPending = std::max(peakPending, robot.listener->stats().pending);
  }
  robot.expectLinkWorks(real, 44);  // while the flood waits
  ASSERT_TRUE(Eventually([&] { return robot.listener->stats().accepted >= 1000; }, 10s));
  const auto s = robot.listener->stats();
  EXPECT_LE(std::max(peakPending, s.pending), 64u);
  EXPECT_GE(s.overLimit, 1000u - 64u);
  // The ones let in are closed by the time-out.
  ASSERT_TRUE(Eventually([&] { return robot.listener->stats().pending == 0; }, 10s));
  EXPECT_EQ(robot.listener->stats().overLimit + robot.listener->stats().timedOut, 1000u);
  EXPECT_TRUE(robot.connected());
  robot.expectLinkWorks(real, 45);
}

TEST(ReverseListener, HeldCallsWaitForTheAccountsNextConnectionWhichReplacesTheLast) {
  RealClock clock;
  Logs logs;
  Robot robot(clock);
  ScriptedPeer first;
  robot.connect(first);
  first.dropClient();
  ASSERT_TRUE(Eventually([&] { return !robot.connected(); }));
  std::atomic<int> answered{0};
  robot.connection->post("set_group_kick", Json{{"group_id", 500}, {"user_id", 777}},
                         [&](const CallResult& r) { answered += r.ok ? 1 : 0; });
  EXPECT_EQ(robot.connection->call("get_login_info").status, "disconnected");

  ScriptedPeer second;
  robot.connect(second);
  auto kick = second.nextRequest("set_group_kick");
  ASSERT_TRUE(kick);
  EXPECT_EQ((*kick)["params"]["user_id"], 777);
  EXPECT_TRUE(Eventually([&] { return answered == 1; }));

  // A call sent and unanswered when a new connection of the account comes
  // goes again on the new one; the old one is closed.
  second.neverAnswer("set_group_ban");
  robot.connection->post("set_group_ban", Json{{"group_id", 500}, {"user_id", 778}},
                         [&](const CallResult& r) { answered += r.ok ? 1 : 0; });
  ASSERT_TRUE(second.nextRequest("set_group_ban"));
  ScriptedPeer third;
  third.dial(As(robot.listener->port()));
  third.send(Lifecycle(kAccount));
  ASSERT_TRUE(second.waitClientClosed());
  auto ban = third.nextRequest("set_group_ban");
  ASSERT_TRUE(ban);
  EXPECT_EQ((*ban)["params"]["user_id"], 778);
  EXPECT_TRUE(Eventually([&] { return answered == 2; }));
  EXPECT_EQ(logs.count("replaces the one from"), 1u);
  robot.expectLinkWorks(third, 46);
}

}  // namespace
}  // namespace bw::onebot
