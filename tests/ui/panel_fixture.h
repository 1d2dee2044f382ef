// What the panel's API tests share: the robot of CoreFixture, the panel on a
// free port of 127.0.0.1 with a known login token, and requests with or
// without a session.
#pragma once

#include <httplib.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>

#include "support/core_fixture.h"
#include "ui/panel_auth.h"
#include "ui/panel_server.h"
#include "util/files.h"

namespace bw::ui {

inline constexpr char kToken[] = "0123456789abcdef0123456789abcdef";

class PanelFixture : public test::CoreFixture {
 protected:
  using Json = nlohmann::json;
  using Session = std::pair<std::string, std::string>;  // Cookie header, CSRF token

  PanelFixture() : status(clock), auth(clock) { auth.setToken(kToken); }
  ~PanelFixture() override { panel.reset(); }

  // The panel on a free port, with `o`'s other options.
  void startPanel(PanelOptions o = {}) {
    o.port = 0;
    panel = std::make_unique<PanelServer>(core, status, auth, o);
    ASSERT_TRUE(panel->start());
  }
  // The robot started up, the panel, and a login that post() and get() use.
  void startLoggedIn() {
    startRobot();
    ASSERT_TRUE(core.startedUp());
    startPanel();
    cookie = login();
  }

  // Groups 101, 102, 103 ticked (managed), 104 listed only; then the startup
  // sequence and the panel, logged in.
  void startWithFourGroups() {
    ASSERT_TRUE(
        WriteFileAtomic(data + "群列表.txt",
                        "{1}1----101----甲群----群主\r\n{1}2----102----乙群----管理员\r\n"
                        "{1}3----103----丙群----管理员\r\n{0}4----104----丁群----管理员\r\n")
            .ok());
    startLoggedIn();
  }

  std::string origin() const { return "http://127.0.0.1:" + std::to_string(panel->port()); }
  httplib::Client client() const {
    httplib::Client c("127.0.0.1", panel->port());
    c.set_connection_timeout(2);
    c.set_read_timeout(readTimeoutSeconds);
    return c;
  }
  // Logs in with the token.
  Session login() {
    auto res = client().Post("/api/login", {{"Origin", origin()}}, Json{{"token", kToken}}.dump(),
                             "application/json");
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, 200) << res->body;
    const std::string setCookie = res->get_header_value("Set-Cookie");
    return {setCookie.substr(0, setCookie.find(';')), Json::parse(res->body).value("csrf", "")};
  }
  // The headers of a change made in session `s`.
  httplib::Headers session(const Session& s) const {
    return {{"Cookie", s.first}, {"X-CSRF-Token", s.second}, {"Origin", origin()}};
  }
  // {status, body as JSON} of a request in the session of startLoggedIn().
  std::pair<int, Json> post(const std::string& path, const Json& body) {
    auto res = client().Post(path, session(cookie), body.dump(), "application/json");
    if (!res) return {0, Json()};
    return {res->status, Json::parse(res->body, nullptr, false)};
  }
  std::pair<int, Json> get(const std::string& path) {
    auto res = client().Get(path, {{"Cookie", cookie.first}});
    if (!res) return {0, Json()};
    return {res->status, Json::parse(res->body, nullptr, false)};
  }

  ConnectionStatus status;
  PanelAuth auth;
  std::unique_ptr<PanelServer> panel;
  Session cookie;
  int readTimeoutSeconds = 5;
};

}  // namespace bw::ui
