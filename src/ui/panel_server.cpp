#include "ui/panel_server.h"

#include <httplib.h>
#if !defined(_WIN32)
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#else
#define SHUT_RDWR SD_BOTH  // WinSock's name
#endif

#include <cstdlib>
#include <functional>
#include <map>
#include <vector>

#include "settings/list_model.h"
#include "ui/assets.h"
#include "ui/panel_gate.h"
#include "ui/panel_pages.h"
#include "ui/panel_routes.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw::ui {

const PanelAsset* FindPanelAsset(std::string_view path) {
  for (const PanelAsset& a : PanelAssets())
    if (a.path == path) return &a;
  return nullptr;
}

namespace {

constexpr char kCookie[] = "bw_session";
constexpr char kCsrfHeader[] = "X-CSRF-Token";

// No inline script or style, no eval: the page's code comes only from our own
// files. The one foreign source is QQ's avatar server, for the account's picture.
constexpr char kContentSecurityPolicy[] =
    "default-src 'none'; script-src 'self'; style-src 'self'; "
    "img-src 'self' data: https://q1.qlogo.cn; connect-src 'self'; form-action 'self'; "
    "frame-ancestors 'none'; base-uri 'none'";

// The library offers no handle on the sockets it accepted, nor on its
// listening socket's backlog (5). Both are found among the process's file
// descriptors by their local port.
// (The Windows build sets the backlog at compile time and lets idle
// connections end by their read time-out.)
template <class Fn>
void ForEachSocketOnPort([[maybe_unused]] int port, [[maybe_unused]] Fn fn) {
#if !defined(_WIN32)
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return;
  std::vector<int> fds;
  while (dirent* e = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end != e->d_name && *end == '\0' && fd != ::dirfd(dir)) fds.push_back(static_cast<int>(fd));
  }
  ::closedir(dir);
  for (int fd : fds) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) continue;
    int local = -1;
    if (addr.ss_family == AF_INET) local = ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    if (addr.ss_family == AF_INET6)
      local = ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port);
    if (local != port) continue;
    int listening = 0;
    socklen_t optlen = sizeof listening;
    ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optlen);
    fn(fd, listening != 0);
  }
#endif
}

std::string SessionCookie(const std::string& id) {
  return std::string(kCookie) + "=" + id + "; Path=/; HttpOnly; SameSite=Strict";
}

}  // namespace

ConnectionStatus::ConnectionStatus(const Clock& clock) : clock_(clock), since_(clock.now()) {}

void ConnectionStatus::set(State state, std::string detail) {
  std::lock_guard lock(mu_);
  if (state != state_) since_ = clock_.now();
  state_ = state;
  detail_ = std::move(detail);
}

void ConnectionStatus::setAccount(std::string account, std::string nick) {
  std::lock_guard lock(mu_);
  account_ = std::move(account);
  nick_ = std::move(nick);
}

std::string ConnectionStatus::json() const {
  std::lock_guard lock(mu_);
  static const char* kNames[] = {"offline", "waiting", "connected"};
  static const char* kTexts[] = {"离线配置 (未连接账号)", "等待 OneBot 实现连接", "已连接"};
  const int i = static_cast<int>(state_);
  Json j = {{"state", kNames[i]},
            {"text", kTexts[i]},
            {"detail", detail_},
            {"since", DateTimeText(since_)},
            {"events", events_.load()},
            {"account", account_},
            {"nick", nick_}};
  return j.dump();
}

void PanelAccounts::add(int64_t account, ConnectionStatus& status) {
  std::lock_guard lock(mu_);
  for (const Entry& e : entries_)
    if (e.account == account) return;
  entries_.push_back(Entry{account, &status, nullptr});
}

void PanelAccounts::setRobot(int64_t account, RobotCore& robot) {
  std::lock_guard lock(mu_);
  for (Entry& e : entries_)
    if (e.account == account) e.robot = &robot;
}

void PanelAccounts::remove(int64_t account) {
  std::lock_guard lock(mu_);
  std::erase_if(entries_, [account](const Entry& e) { return e.account == account; });
}

std::optional<PanelAccounts::Entry> PanelAccounts::find(const std::string& account) const {
  std::lock_guard lock(mu_);
  if (entries_.empty()) return std::nullopt;
  if (account.empty() || entries_.size() == 1) return entries_.front();
  for (const Entry& e : entries_)
    if (std::to_string(e.account) == account) return e;
  return std::nullopt;
}

std::vector<PanelAccounts::Entry> PanelAccounts::all() const {
  std::lock_guard lock(mu_);
  return entries_;
}

namespace {

// The requests every account shares: the login and the list of accounts.
bool SharedApi(const std::string& path) {
  return path == "/api/login" || path == "/api/logout" || path == "/api/session" ||
         path == "/api/accounts";
}

}  // namespace

struct PanelServer::Impl {
  Impl(PanelAccounts* own, PanelAccounts& accounts, const Clock& clock, PanelAuth& a,
       PanelOptions o)
      : ownAccounts(own), accounts(accounts), clock(clock), auth(a), options(std::move(o)) {}

  // One account's pages: its own routes over its own robot.
  struct AccountPanel {
    AccountPanel(Impl& impl, RobotCore& r, ConnectionStatus& s)
        : robot(r), status(s), ctx{robot, status, saveMu, [&impl, this] {
                                     return impl.statusJson(robot, status);
                                   }} {}
    RobotCore& robot;
    ConnectionStatus& status;
    std::mutex saveMu;
    PanelContext ctx;
    RouteTable routes;
  };

  std::unique_ptr<PanelAccounts> ownAccounts;  // the panel of one robot
  PanelAccounts& accounts;
  const Clock& clock;
  PanelAuth& auth;
  const PanelOptions options;
  // Requests reach the pool's threads only once they have arrived whole and
  // within bounds; a body beyond the login's few KB needs a session.
  GatedServer server{clock, GateLimits{}, options.threads, [this](const std::string& cookie) {
                       const std::string id = CookieValue(cookie, kCookie);
                       return !id.empty() && auth.find(id).has_value();
                     }};
  int port = 0;
  std::mutex panelsMu;
  std::map<RobotCore*, std::shared_ptr<AccountPanel>> panels;  // kept while the server lives

  void routes();
  void configure(httplib::Server& table);
  std::shared_ptr<RouteTable> route(const RequestHead& head);
  httplib::Server::HandlerResponse guard(const httplib::Request& req, httplib::Response& res);
  std::optional<PanelSession> session(const httplib::Request& req) {
    const std::string id = CookieValue(req.get_header_value("Cookie"), kCookie);
    if (id.empty()) return std::nullopt;
    return auth.find(id);
  }
  Json statusJson(RobotCore& robot, ConnectionStatus& status);
  Json accountsJson();
  void serveAsset(const httplib::Request& req, httplib::Response& res, const std::string& path);
  void login(const std::string& secret, const httplib::Request& req, httplib::Response& res,
             bool redirect);
};

httplib::Server::HandlerResponse PanelServer::Impl::guard(const httplib::Request& req,
                                                          httplib::Response& res) {
  using R = httplib::Server::HandlerResponse;
  // A page of a rebinding DNS name reaches us with its own name in Host.
  if (!HostAllowed(req.get_header_value("Host"), port, options.extraHost)) {
    LogWarning("settings panel: refused a request for the foreign host \"" +
               req.get_header_value("Host") + "\"");
    SendError(res, 403, "foreign Host header");
    return R::Handled;
  }
  // A page on another port of 127.0.0.1 is same-site (our cookie goes along):
  // only its Origin gives it away. Changes must name their origin.
  const bool changes = req.method != "GET" && req.method != "HEAD";
  const std::string origin = req.get_header_value("Origin");
  const bool proxied = !options.proxyOrigin.empty() && origin == options.proxyOrigin;
  if ((changes || !origin.empty()) && !proxied && !OriginAllowed(origin, port, options.extraHost)) {
    LogWarning("settings panel: refused a request from the foreign origin \"" + origin + "\"");
    SendError(res, 403, "foreign Origin");
    return R::Handled;
  }
  if (!req.path.starts_with("/api/") || req.path == "/api/login") return R::Unhandled;
  const std::optional<PanelSession> s = session(req);
  if (!s) {
    SendError(res, 401, "请先登录");
    return R::Handled;
  }
  if (changes && !ConstantTimeEquals(req.get_header_value(kCsrfHeader), s->csrf)) {
    LogWarning("settings panel: refused a change without its CSRF token");
    SendError(res, 403, "missing or wrong CSRF token");
    return R::Handled;
  }
  return R::Unhandled;
}

Json PanelServer::Impl::accountsJson() {
  Json list = Json::array();
  for (const PanelAccounts::Entry& e : accounts.all()) {
    const Json c = Json::parse(e.status->json());
    list.push_back({{"account", c.value("account", "")},
                    {"nick", c.value("nick", "")},
                    {"state", c.value("state", "")},
                    {"text", c.value("text", "")},
                    {"ready", e.robot != nullptr}});
  }
  return list;
}

Json PanelServer::Impl::statusJson(RobotCore& robot, ConnectionStatus& status) {
  Lifecycle& l = robot.lifecycle();
  Json j;
  j["connection"] = Json::parse(status.json());
  j["accounts"] = accountsJson();
  j["ready"] = robot.startedUp();
  j["welcome"] = "欢迎使用群管软件";
  j["features"] = FeatureStatusPage(robot.featureStatus(), l.lists().groups.rowCount(),
                                    l.managedGroups().size());
  j["lastRunLog"] = l.runLog().lastId();
  j["dataDirectory"] = l.dataDirectory();
  return j;
}

void PanelServer::Impl::serveAsset(const httplib::Request& req, httplib::Response& res,
                                   const std::string& path) {
  const PanelAsset* asset = FindPanelAsset(path);
  if (!asset) {
    SendError(res, 404, "not found");
    return;
  }
  res.set_header("ETag", std::string(asset->etag));
  res.set_header("Cache-Control", "no-cache");
  if (req.get_header_value("If-None-Match") == asset->etag) {
    res.status = 304;
    return;
  }
  res.set_content(std::string(asset->bytes()), std::string(asset->mime).c_str());
}

void PanelServer::Impl::login(const std::string& secret, const httplib::Request& req,
                              httplib::Response& res, bool redirect) {
  // A refused login link opens the login page with the reason, not an API answer.
  auto refuse = [&](int code, const std::string& message) {
    if (!redirect) return SendError(res, code, message);
    res.status = code;
    res.set_header("Cache-Control", "no-store");
    res.set_content(LoginPageWithError(FindPanelAsset("/index.html")->bytes(), message),
                    "text/html; charset=utf-8");
  };
  PanelSession s;
  switch (auth.login(secret, req.remote_addr, &s)) {
    case LoginResult::kRateLimited:
      res.set_header("Retry-After", "60");
      refuse(429, "登录尝试过多, 请一分钟后再试");
      return;
    case LoginResult::kWrongToken:
      refuse(401, auth.hasPassword() ? "密码不正确" : "登录令牌不正确");
      return;
    case LoginResult::kOk:
      break;
  }
  res.set_header("Set-Cookie", SessionCookie(s.id));
  if (redirect) {
    res.status = 303;
    res.set_header("Location", "/");
  } else {
    SendJson(res, Json{{"csrf", s.csrf}});
  }
}

void PanelServer::Impl::routes() {
  configure(server);
  server.Get("/", [this](const httplib::Request& req, httplib::Response& res) {
    serveAsset(req, res, "/index.html");
  });
  server.Get(R"(/([a-z0-9_-]+\.(js|css|svg|html)))",
             [this](const httplib::Request& req, httplib::Response& res) {
               serveAsset(req, res, req.path);
             });
  // The URL printed in the log: opening it logs in and lands on the panel.
  server.Get("/login", [this](const httplib::Request& req, httplib::Response& res) {
    login(req.get_param_value("token"), req, res, true);
  });
  // What the login page asks for: the token, or the owner's password.
  server.Get("/api/login", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"password", auth.hasPassword()}});
  });
  server.Post("/api/login", [this](const httplib::Request& req, httplib::Response& res) {
    const Json body = Json::parse(req.body, nullptr, false);
    const char* key = auth.hasPassword() ? "password" : "token";
    if (!body.is_object() || !body.contains(key) || !body[key].is_string()) {
      SendError(res, 400, auth.hasPassword() ? "需要密码" : "需要登录令牌");
      return;
    }
    login(body[key].get<std::string>(), req, res, false);
  });
  server.Post("/api/logout", [this](const httplib::Request& req, httplib::Response& res) {
    auth.logout(CookieValue(req.get_header_value("Cookie"), kCookie));
    res.set_header("Set-Cookie", std::string(kCookie) +
                                     "=; Path=/; HttpOnly; SameSite=Strict; "
                                     "Max-Age=0");
    SendJson(res, Json{{"ok", true}});
  });
  server.Get("/api/session", [this](const httplib::Request& req, httplib::Response& res) {
    const std::optional<PanelSession> s = session(req);  // may have closed since the check
    if (!s) {
      SendError(res, 401, "请先登录");
      return;
    }
    SendJson(res, Json{{"csrf", s->csrf}, {"pages", PageNames()}});
  });
  server.Get("/api/accounts", [this](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"accounts", accountsJson()}});
  });
  // An account whose robot has not started yet: its state, and no pages.
  server.Get("/api/status", [this](const httplib::Request& req, httplib::Response& res) {
    const auto e = accounts.find(req.get_header_value("X-BW-Account"));
    if (!e) return SendError(res, 404, "没有这个账号");
    Json j;
    j["connection"] = Json::parse(e->status->json());
    j["accounts"] = accountsJson();
    j["ready"] = false;
    j["welcome"] = "欢迎使用群管软件";
    j["features"] = Json{{"boxes", Json::array()}};
    j["lastRunLog"] = 0;
    j["dataDirectory"] = "";
    SendJson(res, j);
  });
  const auto notReady = [this](const httplib::Request& req, httplib::Response& res) {
    const auto e = accounts.find(req.get_header_value("X-BW-Account"));
    if (!e) return SendError(res, 404, "没有这个账号");
    SendError(res, 409,
              "账号 " + std::to_string(e->account) + " 还没有连接, 连接并启动后才能查看和修改设置");
  };
  server.Get(R"(/api/.*)", notReady);
  server.Post(R"(/api/.*)", notReady);
  server.Put(R"(/api/.*)", notReady);
  server.Delete(R"(/api/.*)", notReady);
  server.setRouter([this](const RequestHead& head) { return route(head); });
}

// The settings, lists and pages of one account, once its robot has started.
std::shared_ptr<RouteTable> PanelServer::Impl::route(const RequestHead& head) {
  if (!head.path.starts_with("/api/") || SharedApi(head.path)) return nullptr;
  const auto e = accounts.find(head.account);
  if (!e || !e->robot) return nullptr;
  std::lock_guard lock(panelsMu);
  std::shared_ptr<AccountPanel>& panel = panels[e->robot];
  if (!panel) {
    panel = std::make_shared<AccountPanel>(*this, *e->robot, *e->status);
    configure(panel->routes);
    httplib::Server& server = panel->routes;
    PanelContext& ctx = panel->ctx;
    server.Get("/api/status", [&ctx](const httplib::Request&, httplib::Response& res) {
      SendJson(res, ctx.statusJson());
    });
    AddSettingsRoutes(server, ctx);
    AddListRoutes(server, ctx);
    AddMoreRoutes(server, ctx);
    AddSandboxRoutes(server, ctx);
    AddAutomodRoutes(server, ctx);
    AddCasesRoutes(server, ctx);
    AddVerificationRoutes(server, ctx);
    AddHistoryRoutes(server, ctx);
  }
  return std::shared_ptr<RouteTable>(panel, &panel->routes);
}

// What every table of routes shares: the guard, the answer to a failure, the
// headers and the bound of a body.
void PanelServer::Impl::configure(httplib::Server& table) {
  table.set_pre_routing_handler(
      [this](const httplib::Request& req, httplib::Response& res) { return guard(req, res); });
  table.set_exception_handler(AnswerRouteException);
  table.set_payload_max_length(server.limits().maxBody);
  table.set_default_headers({{"Content-Security-Policy", kContentSecurityPolicy},
                             {"X-Content-Type-Options", "nosniff"},
                             {"X-Frame-Options", "DENY"},
                             {"Referrer-Policy", "no-referrer"},
                             {"Cache-Control", "no-store"}});
}

namespace {

std::unique_ptr<PanelAccounts> OneAccount(RobotCore& robot, ConnectionStatus& status) {
  auto accounts = std::make_unique<PanelAccounts>();
  accounts->add(0, status);
  accounts->setRobot(0, robot);
  return accounts;
}

}  // namespace

PanelServer::PanelServer(RobotCore& robot, ConnectionStatus& status, PanelAuth& auth,
                         PanelOptions options) {
  std::unique_ptr<PanelAccounts> own = OneAccount(robot, status);
  PanelAccounts& accounts = *own;
  impl_ = std::make_unique<Impl>(own.release(), accounts, robot.lifecycle().clock(), auth,
                                 std::move(options));
}

PanelServer::PanelServer(PanelAccounts& accounts, const Clock& clock, PanelAuth& auth,
                         PanelOptions options)
    : impl_(std::make_unique<Impl>(nullptr, accounts, clock, auth, std::move(options))) {}

PanelServer::~PanelServer() { stop(); }

bool PanelServer::start() {
  Impl& i = *impl_;
  httplib::Server& s = i.server;
  // One request per connection (the gate answers each connection once): an
  // idle keep-alive connection would hold a pool thread; polling reconnects
  // cheaply.
  s.set_keep_alive_max_count(1);
  s.set_keep_alive_timeout(1);
  s.set_read_timeout(1, 0);
  s.set_write_timeout(1, 0);
  i.routes();
  bool bound = false;
  if (i.options.port == 0) {
    i.port = s.bind_to_any_port(i.options.address);
    bound = i.port > 0;
  } else {
    bound = s.bind_to_port(i.options.address, i.options.port);
    i.port = i.options.port;
  }
  if (!bound) {
    LogError("settings panel: cannot listen on " + i.options.address + ":" +
             std::to_string(i.options.port) + " (in use? choose another with --panel)");
    return false;
  }
  port_ = i.port;
  // Many tabs reconnecting at once must not overflow a backlog of 5.
  ForEachSocketOnPort(port_, [](int fd, bool listening) {
    if (listening) ::listen(fd, 128);
  });
  listening_.store(true);
  listener_ = std::thread([this, &s] {
    s.listen_after_bind();
    listening_.store(false);
  });
  return true;
}

void PanelServer::stop() {
  if (!listener_.joinable()) return;
  // The library's stop() does nothing until its loop runs: a stop right after
  // start() would otherwise leave the loop running and the join waiting forever.
  while (listening_.load() && !impl_->server.is_running()) std::this_thread::yield();
  impl_->server.stop();
  // An answer still being written to a client that does not read would hold
  // its thread until the write timeout: closing them lets the pool drain at
  // once (the gate closes the connections it still holds itself).
  ForEachSocketOnPort(port_, [](int fd, bool listening) {
    if (!listening) ::shutdown(fd, SHUT_RDWR);
  });
  listener_.join();
}

std::string PanelServer::baseUrl() const {
  const std::string host = impl_->options.address == "0.0.0.0" || impl_->options.address == "::"
                               ? "127.0.0.1"
                               : impl_->options.address;
  return "http://" + host + ":" + std::to_string(port_) + "/";
}

std::string PanelServer::loginUrl() const {
  return baseUrl() + "login?token=" + impl_->auth.token();
}

}  // namespace bw::ui
