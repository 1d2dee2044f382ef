// The panel's bounds against hostile clients on loopback: bodies without their
// length or beyond their cap, JSON nested deep, heads too large, memory that
// must come back, slow heads that must not hold the workers, and the share of
// one source address.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ui/panel_fixture.h"
#include "ui/panel_gate.h"

namespace bw::ui {
namespace {

using ::testing::AnyOf;
using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

int Connect(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  timeval tv{2, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  return fd;
}

bool SendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads until the server closes (or 5 s pass): its answer, "" for none.
std::string ReadAnswer(int fd) {
  std::string out;
  char buf[4096];
  const auto end = Clock::now() + std::chrono::seconds(5);
  while (Clock::now() < end) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

int StatusOf(const std::string& answer) {
  return answer.starts_with("HTTP/1.1 ") ? std::atoi(answer.c_str() + 9) : 0;
}

// Whether the server has closed `fd` (an answer may come first), waiting up to `wait`.
bool ClosedByServer(int fd, std::chrono::milliseconds wait) {
  const auto end = Clock::now() + wait;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    if (n > 0) continue;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
}

size_t ResidentBytes() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.starts_with("VmRSS:")) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

// One hostile request: its head, then `repeats` times `chunk` as its body
// (in chunked framing when `chunked`), sent until the server answers or stops
// taking it.
struct Attack {
  std::string name;
  std::string head;  // without its blank line
  std::string chunk;
  size_t repeats = 0;
  bool chunked = false;
  int copies = 1;  // sent at the same time
  std::vector<int> statuses;
  std::string reason;  // a part of the refusal's text
  bool session = false;
};

struct Outcome {
  int status = 0;
  std::string answer;
  size_t sent = 0;
};

Outcome Send(int port, const Attack& a, const std::string& cookie) {
  Outcome o;
  const int fd = Connect(port);
  // A local process may name the panel's own origin: only the body's bounds stop it.
  const std::string self = "127.0.0.1:" + std::to_string(port);
  std::string head = a.head + "\r\nHost: " + self + "\r\nOrigin: http://" + self + "\r\n";
  if (a.session) head += "Cookie: " + cookie + "\r\n";
  if (a.chunked)
    head += "Transfer-Encoding: chunked\r\n";
  else if (a.repeats > 0)
    head += "Content-Length: " + std::to_string(a.chunk.size() * a.repeats) + "\r\n";
  bool sending = SendAll(fd, head + "\r\n");
  char size[32];
  std::snprintf(size, sizeof size, "%zx\r\n", a.chunk.size());
  for (size_t i = 0; sending && i < a.repeats; ++i) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0) break;  // answered already
    sending = (!a.chunked || SendAll(fd, size)) && SendAll(fd, a.chunk) &&
              (!a.chunked || SendAll(fd, "\r\n"));
    if (sending) o.sent += a.chunk.size();
  }
  if (sending && a.chunked) SendAll(fd, "0\r\n\r\n");
  o.answer = ReadAnswer(fd);
  o.status = StatusOf(o.answer);
  ::close(fd);
  return o;
}

class PanelLimitsTest : public PanelFixture {};

TEST_F(PanelLimitsTest, HostileBodiesAndHeadsAreRefusedUnreadAndTheMemoryComesBack) {
  startLoggedIn();
  const size_t before = ResidentBytes();
  const std::string mb(1 << 20, '[');
  std::string manyHeaders = "GET / HTTP/1.1";
  for (int i = 0; i < 10000; ++i) manyHeaders += "\r\nX-Filler-" + std::to_string(i) + ": v";
  const std::string hugeHeader = "GET / HTTP/1.1\r\nX-Huge: " + std::string(100000, 'a');
  const std::vector<Attack> attacks = {
      {"100 MB chunked to the login",
       "POST /api/login HTTP/1.1",
       std::string(1 << 16, 'x'),
       1600,
       true,
       1,
       {411},
       "Content-Length"},
      {"10 MB of [ chunked to the login",
       "POST /api/login HTTP/1.1",
       std::string(1 << 16, '['),
       160,
       true,
       1,
       {411},
       "Content-Length"},
      {"eight 1 MB bodies of [ to the login",
       "POST /api/login HTTP/1.1",
       mb,
       1,
       false,
       8,
       {413},
       "too large"},
      {"100 MB with its length to a page",
       "POST / HTTP/1.1",
       std::string(1 << 16, 'x'),
       1600,
       false,
       1,
       {413},
       "too large"},
      {"a login nested 4000 deep",
       "POST /api/login HTTP/1.1",
       std::string(4000, '['),
       1,
       false,
       1,
       {400},
       "nested"},
      {"a change nested 1 MB deep",
       "POST /api/settings HTTP/1.1",
       mb,
       1,
       false,
       1,
       {400},
       "nested",
       true},
      {"2 MB chunked in a session",
       "POST /api/settings HTTP/1.1",
       std::string(1 << 16, 'x'),
       32,
       true,
       1,
       {411},
       "Content-Length",
       true},
      {"10,000 header lines", manyHeaders, "", 0, false, 1, {431}, "head"},
      {"150 short header lines",
       manyHeaders.substr(0, manyHeaders.find("X-Filler-150:")),
       "",
       0,
       false,
       1,
       {431},
       "header lines"},
      {"a 100 KB header", hugeHeader, "", 0, false, 1, {431, 400}, ""},
  };
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.name);
    const auto begin = Clock::now();
    std::vector<Outcome> outcomes(static_cast<size_t>(a.copies));
    std::vector<std::thread> threads;
    for (Outcome& o : outcomes)
      threads.emplace_back([&] { o = Send(panel->port(), a, cookie.first); });
    for (std::thread& t : threads) t.join();
    for (const Outcome& o : outcomes) {
      // Refused while most of the body was still on its way (kernel buffers hold a few MB).
      EXPECT_LE(o.sent, size_t{16} << 20);
      if (o.status == 0) continue;  // reset before the answer could be read: refused all the same
      EXPECT_THAT(a.statuses, ::testing::Contains(o.status)) << o.answer.substr(0, 300);
      EXPECT_THAT(o.answer, HasSubstr(a.reason));
    }
    EXPECT_GE(std::count_if(outcomes.begin(), outcomes.end(),
                            [](const Outcome& o) { return o.status != 0; }),
              1);
    EXPECT_LT(Clock::now() - begin, std::chrono::seconds(3));
  }
  // The panel still answers, and what the attacks made it hold is given back.
  EXPECT_EQ(get("/api/status").first, 200);
  EXPECT_EQ(login().second.empty(), false);
  const size_t after = ResidentBytes();
  std::printf("resident: %zu MiB before the attacks, %zu MiB after\n", before >> 20, after >> 20);
  EXPECT_LT(after, before + (size_t{40} << 20))
      << "resident " << (before >> 20) << " MiB before, " << (after >> 20) << " MiB after";
}

// A large change from the owner's session still arrives whole, also when its
// client waits for "100 Continue".
TEST_F(PanelLimitsTest, ALargeChangeInASessionStillArrivesWhole) {
  startLoggedIn();
  const std::string text(200000, 'a');
  for (bool expect : {false, true}) {
    SCOPED_TRACE(expect ? "with Expect" : "without Expect");
    const std::string body = Json{{"changes", {{"不存在的设置", text}}}}.dump();
    const int fd = Connect(panel->port());
    std::string head =
        "POST /api/settings HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(panel->port()) +
        "\r\nOrigin: " + origin() + "\r\nCookie: " + cookie.first +
        "\r\nX-CSRF-Token: " + cookie.second +
        "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
        "\r\n";
    if (expect) head += "Expect: 100-continue\r\n";
    ASSERT_TRUE(SendAll(fd, head + "\r\n"));
    if (expect) {
      char buf[64] = {};
      ASSERT_GT(::recv(fd, buf, sizeof buf - 1, 0), 0);
      EXPECT_THAT(std::string(buf), HasSubstr("100 Continue"));
    }
    ASSERT_TRUE(SendAll(fd, body));
    const std::string answer = ReadAnswer(fd);
    ::close(fd);
    // Read and parsed whole: the route names the unknown setting.
    EXPECT_EQ(StatusOf(answer), 400) << answer.substr(0, 300);
    EXPECT_THAT(answer, HasSubstr("不存在的设置"));
    EXPECT_THAT(answer, Not(HasSubstr("nested")));
  }
}

// What the owner's largest changes take while parsed is given back: with eight
// workers, what each kept would add up.
TEST_F(PanelLimitsTest, TheMemoryOfLargeChangesComesBack) {
  startLoggedIn();
  Json numbers = Json::array();
  for (int i = 0; i < 400000; ++i) numbers.push_back(0);
  const Json changes = {{"不存在的设置", numbers}};
  const size_t before = ResidentBytes();
  for (int i = 0; i < 16; ++i) EXPECT_EQ(post("/api/settings", {{"changes", changes}}).first, 400);
  const size_t after = ResidentBytes();
  std::printf("resident: %zu MiB before 16 changes of 1 MB, %zu MiB after\n", before >> 20,
              after >> 20);
  EXPECT_LT(after, before + (size_t{8} << 20));
}

TEST_F(PanelLimitsTest, AHundredSlowHeadsDoNotKeepANormalRequestWaiting) {
  startPanel();
  std::vector<int> slow;
  for (int i = 0; i < 100; ++i) {
    slow.push_back(Connect(panel->port()));
    SendAll(slow.back(), "GET / HTTP/1.1\r\nX-Slow: ");
  }
  std::atomic<bool> trickling{true};
  std::thread trickle([&] {
    for (int round = 0; round < 40 && trickling.load(); ++round) {  // at most 12 s
      for (int fd : slow) ::send(fd, "a", 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // the workers would be taken by now
  const auto begin = Clock::now();
  auto res = client().Get("/icon.svg");
  const auto took = Clock::now() - begin;
  trickling.store(false);
  trickle.join();
  for (int fd : slow) ::close(fd);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_LT(took, std::chrono::seconds(2))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

TEST_F(PanelLimitsTest, AHeadTrickledPastItsDeadlineIsDropped) {
  startPanel();
  for (bool setBack : {false, true}) {
    SCOPED_TRACE(setBack ? "the clock set back an hour meanwhile" : "the clock running on");
    const int fd = Connect(panel->port());
    SendAll(fd, "GET / HTTP/1.1\r\nX-Slow: ");
    // Within its deadline a slow head is only waited for.
    for (int i = 0; i < 3; ++i) {
      ::send(fd, "a", 1, MSG_NOSIGNAL);
      EXPECT_FALSE(ClosedByServer(fd, std::chrono::milliseconds(150)));
    }
    if (setBack) {
      clock.set(clock.now() - std::chrono::hours(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    // Still trickling, but the deadline passes (again for each step, should
    // the gate have taken the connection late).
    bool closed = false;
    for (int i = 0; i < 10 && !closed; ++i) {
      clock.advance(GateLimits{}.headDeadline + Millis(1000));
      ::send(fd, "a", 1, MSG_NOSIGNAL);
      closed = ClosedByServer(fd, std::chrono::milliseconds(300));
    }
    ::close(fd);
    EXPECT_TRUE(closed);
  }
}

TEST_F(PanelLimitsTest, ASourceBeyondItsShareLosesItsLongestWaitingConnections) {
  startPanel();
  const size_t share = GateLimits{}.perSource;
  std::vector<int> fds;
  for (size_t i = 0; i < share + 8; ++i) {
    fds.push_back(Connect(panel->port()));
    SendAll(fds.back(), "GET / HTTP/1.1\r\n");
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  clock.advance(GateLimits{}.grace + Millis(100));  // well before the head's deadline
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  std::vector<bool> closed;
  for (int fd : fds) closed.push_back(ClosedByServer(fd, std::chrono::milliseconds(1)));
  for (size_t i = 0; i < fds.size(); ++i)
    EXPECT_EQ(closed[i], i < 8) << "connection " << i << " of " << fds.size();
  // A normal request of the same source is answered.
  auto res = client().Get("/icon.svg");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  for (int fd : fds) ::close(fd);
}

TEST(JsonDepthTest, CountsNestingOutsideStringsAndStopsPastItsLimit) {
  EXPECT_EQ(JsonDepth(R"({"a": [1, {"b": "[[[{"}]})", 64), 3u);
  EXPECT_EQ(JsonDepth(R"(["\"[[", [[]]])", 64), 3u);
  EXPECT_EQ(JsonDepth(std::string(1000, '['), 64), 65u);
  EXPECT_EQ(JsonDepth("]]]{}", 64), 1u);
}

}  // namespace
}  // namespace bw::ui
