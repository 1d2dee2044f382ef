// Logging in to the panel over loopback once the owner has set a password, the
// login limits per source address and overall, and changes through a reverse
// proxy's origin.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "ui/panel_fixture.h"
#include "util/files.h"

namespace bw::ui {
namespace {

using Json = nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr char kPassword[] = "青榆 correct horse";
constexpr char kProxy[] = "https://panel.example.com";

// One login attempt sent from the loopback address `source` (127.x.y.z: every
// one of them reaches the panel on 127.0.0.1); returns the HTTP status.
int LoginFrom(const std::string& source, int port, const std::string& body) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
  sockaddr_in panel{};
  panel.sin_family = AF_INET;
  panel.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, "127.0.0.1", &panel.sin_addr);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      ::connect(fd, reinterpret_cast<sockaddr*>(&panel), sizeof panel) != 0) {
    ::close(fd);
    return -1;
  }
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  const std::string request =
      "POST /api/login HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
      "\r\nOrigin: " + origin +
      "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
      "\r\nConnection: close\r\n\r\n" + body;
  (void)!::write(fd, request.data(), request.size());
  std::string answer;
  char buf[1024];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
    answer.append(buf, static_cast<size_t>(n));
  ::close(fd);
  if (!answer.starts_with("HTTP/1.1 ") || answer.size() < 12) return -1;
  return std::stoi(answer.substr(9, 3));
}

class PanelLoginTest : public PanelFixture {
 protected:
  PanelLoginTest() {
    readTimeoutSeconds = 10;
    EXPECT_TRUE(WritePasswordFile(dir.file("panel.password"), kPassword).ok());
    EXPECT_TRUE(auth.loadPassword(dir.file("panel.password")).ok());
    startRobot();
    PanelOptions o;
    o.proxyOrigin = kProxy;
    startPanel(o);
  }

  httplib::Result login(const Json& body) {
    return client().Post("/api/login", {{"Origin", origin()}}, body.dump(), "application/json");
  }
};

TEST_F(PanelLoginTest, WithAPasswordSetOnlyThePasswordLogsIn) {
  auto mode = client().Get("/api/login");
  ASSERT_TRUE(mode);
  EXPECT_EQ(Json::parse(mode->body), (Json{{"password", true}}));

  auto token = login({{"password", kToken}});
  ASSERT_TRUE(token);
  EXPECT_EQ(token->status, 401);
  EXPECT_EQ(Json::parse(token->body)["error"], "密码不正确");
  auto link = client().Get(std::string("/login?token=") + kToken);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->status, 401);
  EXPECT_THAT(link->body, HasSubstr(R"(role="alert">密码不正确</p>)"));
  auto asToken = login({{"token", kPassword}});
  ASSERT_TRUE(asToken);
  EXPECT_EQ(asToken->status, 400);  // the page asks for the password by its name

  auto ok = login({{"password", kPassword}});
  ASSERT_TRUE(ok);
  ASSERT_EQ(ok->status, 200) << ok->body;
  const std::string cookie = ok->get_header_value("Set-Cookie");
  auto session = client().Get("/api/session", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  ASSERT_TRUE(session);
  EXPECT_EQ(session->status, 200);
  EXPECT_EQ(Json::parse(session->body)["pages"].back(), "试一试");
}

TEST_F(PanelLoginTest, GuessesFromManyAddressesMeetTheOverallLimit) {
  const std::string wrong = Json{{"password", "not the password"}}.dump();
  const std::string right = Json{{"password", kPassword}}.dump();
  const int port = panel->port();
  // One address is stopped after its five failures; another still gets in.
  for (int i = 0; i < PanelAuth::kMaxFailures; ++i)
    ASSERT_EQ(LoginFrom("127.0.0.2", port, wrong), 401);
  EXPECT_EQ(LoginFrom("127.0.0.2", port, right), 429);
  EXPECT_EQ(LoginFrom("127.0.0.9", port, right), 200);
  // Three more addresses, each within its own limit, fill the overall one.
  for (const char* source : {"127.0.0.3", "127.0.0.4", "127.0.0.5"})
    for (int i = 0; i < PanelAuth::kMaxFailures; ++i)
      ASSERT_EQ(LoginFrom(source, port, wrong), 401);
  EXPECT_EQ(LoginFrom("127.0.0.6", port, right), 429);
  EXPECT_EQ(LoginFrom("127.0.0.9", port, right), 429);
}

TEST_F(PanelLoginTest, ChangesMayComeThroughTheReverseProxysOriginAndNoOtherForeignOne) {
  auto ok = login({{"password", kPassword}});
  ASSERT_TRUE(ok);
  ASSERT_EQ(ok->status, 200);
  const std::string cookie = ok->get_header_value("Set-Cookie");
  const std::string csrf = Json::parse(ok->body)["csrf"];
  const std::string body = Json{{"changes", {{"选择框_开启广告检测", true}}}}.dump();
  auto from = [&](const std::string& origin) {
    auto res = client().Post("/api/settings",
                             {{"Cookie", cookie.substr(0, cookie.find(';'))},
                              {"X-CSRF-Token", csrf},
                              {"Origin", origin}},
                             body, "application/json");
    return res ? res->status : -1;
  };
  EXPECT_EQ(from("https://evil.example.com"), 403);
  EXPECT_FALSE(lifecycle.settings().checked("选择框_开启广告检测"));
  EXPECT_EQ(from(kProxy), 200);
  EXPECT_TRUE(lifecycle.settings().checked("选择框_开启广告检测"));
}

// A login link that is wrong, expired (the token file was renewed) or one guess
// too many opens the login page saying why: an HTML page, not the API's JSON.
class PanelLoginLinkTest : public PanelFixture {};

TEST_F(PanelLoginLinkTest, ARefusedLinkAnswersTheLoginPageWithItsReason) {
  struct Case {
    const char* what;
    std::string token;
    int status;
    const char* message;
  };
  const std::string expired = std::string(kToken).replace(0, 4, "ffff");
  const Case cases[] = {
      {"a wrong token", "not-the-token", 401, "登录令牌不正确"},
      {"an expired token", expired, 401, "登录令牌不正确"},
      {"a mangled token", "<script>alert(1)</script>", 401, "登录令牌不正确"},
      {"an empty token", "", 401, "登录令牌不正确"},
      {"a token after too many failures", kToken, 429, "登录尝试过多, 请一分钟后再试"},
  };
  startRobot();
  startPanel();
  for (int i = 0; i < PanelAuth::kMaxFailures - 4; ++i) {  // with the four cases above: five
    auto res = client().Get("/login?token=wrong");
    ASSERT_TRUE(res);
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto res = client().Get("/login?token=" + httplib::detail::encode_query_param(c.token));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, c.status);
    EXPECT_THAT(res->get_header_value("Content-Type"), HasSubstr("text/html"));
    EXPECT_THAT(res->body, HasSubstr("<!doctype html>"));
    EXPECT_THAT(res->body, HasSubstr(std::string(R"(role="alert">)") + c.message + "</p>"));
    EXPECT_THAT(res->body, HasSubstr(R"(<section id="login">)"));  // shown without the script
    EXPECT_THAT(res->body, Not(HasSubstr("<script>alert")));
    EXPECT_TRUE(res->get_header_value("Set-Cookie").empty());
    EXPECT_FALSE(Json::parse(res->body, nullptr, false).is_object());
  }
  // The API's own login keeps answering JSON.
  auto api = client().Post("/api/login", {{"Origin", origin()}}, Json{{"token", "wrong"}}.dump(),
                           "application/json");
  ASSERT_TRUE(api);
  EXPECT_EQ(Json::parse(api->body, nullptr, false).value("error", ""),
            "登录尝试过多, 请一分钟后再试");
}

TEST_F(PanelLoginLinkTest, TheReasonIsTextInThePage) {
  const std::string page =
      R"(<section id="login" hidden><p id="login-error" class="error" role="alert"></p>)";
  EXPECT_EQ(LoginPageWithError(page, R"(a<b & "c" 'd'>)"),
            R"(<section id="login"><p id="login-error" class="error" role="alert">)"
            R"(a&lt;b &amp; &quot;c&quot; &#39;d&#39;&gt;</p>)");
}

}  // namespace
}  // namespace bw::ui
