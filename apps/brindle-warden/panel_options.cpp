#include "panel_options.h"

#include <iostream>

#include "util/files.h"
#include "util/log.h"

namespace bw::app {
namespace {

std::string PasswordFile(const std::string& home) { return home + "/panel.password"; }

bool IsLoopback(const std::string& address) {
  return address.starts_with("127.") || address == "::1" || address == "[::1]";
}

}  // namespace

std::optional<ui::PanelOptions> PanelOptionsOf(const CommandLine& cl, const std::string& home) {
  ui::PanelOptions options;
  options.extraHost = cl.flag("panel-host").value_or("");
  options.proxyOrigin = cl.flag("panel-origin").value_or("");
  while (!options.proxyOrigin.empty() && options.proxyOrigin.back() == '/')
    options.proxyOrigin.pop_back();
  if (!options.proxyOrigin.empty() && !options.proxyOrigin.starts_with("https://") &&
      !options.proxyOrigin.starts_with("http://")) {
    LogError("--panel-origin needs the proxy's origin, as https://NAME[:PORT], not \"" +
             options.proxyOrigin + "\"");
    return std::nullopt;
  }
  const std::optional<std::string> text = cl.flag("panel");
  if (!text) return options;
  std::string address = "127.0.0.1", port = *text;
  if (const size_t colon = text->rfind(':'); colon != std::string::npos) {
    address = text->substr(0, colon);
    port = text->substr(colon + 1);
  }
  if (address == "localhost") address = "127.0.0.1";
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    address = address.substr(1, address.size() - 2);
  if (port.empty() || port.size() > 5 ||
      port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
      std::stoi(port) > 65535) {
    LogError("--panel needs a port number (1-65535), as PORT or ADDRESS:PORT, not \"" + *text +
             "\"");
    return std::nullopt;
  }
  options.port = std::stoi(port);
  options.address = address;
  if (IsLoopback(address)) return options;
  // Beyond loopback the token (printed in the log, sent in the clear) is not
  // enough: the owner must ask for it and set a password.
  if (!cl.flag("panel-public")) {
    LogError(
        "--panel listens only on a loopback address (127.x.x.x) unless --panel-public is "
        "given; to reach the panel from elsewhere, put a reverse proxy with TLS in front "
        "of it (see the README)");
    return std::nullopt;
  }
  if (!FileExists(PasswordFile(home))) {
    LogError(
        "--panel-public needs a password: set one first with brindle-warden panel-password "
        "--home " +
        home);
    return std::nullopt;
  }
  // The address itself is a name the browser may use.
  if (options.extraHost.empty() && address != "0.0.0.0" && address != "::")
    options.extraHost = address.find(':') == std::string::npos ? address : "[" + address + "]";
  return options;
}

bool LoadPanelSecrets(ui::PanelAuth& auth, const std::string& home) {
  if (Status s = auth.loadOrCreateToken(home + "/panel.token"); !s) {
    LogError("settings panel: " + s.message());
    return false;
  }
  if (Status s = auth.loadPassword(PasswordFile(home)); !s) {
    LogError("settings panel: " + s.message());
    return false;
  }
  return true;
}

namespace {

std::unique_ptr<ui::PanelServer> Started(std::unique_ptr<ui::PanelServer> panel,
                                         ui::PanelAuth& auth, const ui::PanelOptions& options,
                                         const std::string& home, bool announce) {
  if (!panel->start()) return nullptr;
  if (!announce) return panel;
  if (!IsLoopback(options.address))
    LogWarning("settings panel: listening on " + options.address + ":" +
               std::to_string(panel->port()) +
               " beyond loopback WITHOUT TLS: the password and the session cross the network "
               "in the clear; prefer a reverse proxy with TLS");
  if (auth.hasPassword()) {
    LogInfo("settings panel: open " + panel->baseUrl() + " and log in with the password (set in " +
            PasswordFile(home) + ")");
  } else {
    LogInfo("settings panel: open " + panel->loginUrl() + " to log in (the token is kept in " +
            home + "/panel.token)");
  }
  return panel;
}

}  // namespace

std::unique_ptr<ui::PanelServer> StartPanel(RobotCore& robot, ui::ConnectionStatus& status,
                                            ui::PanelAuth& auth, const ui::PanelOptions& options,
                                            const std::string& home, bool announce) {
  return Started(std::make_unique<ui::PanelServer>(robot, status, auth, options), auth, options,
                 home, announce);
}

std::unique_ptr<ui::PanelServer> StartPanel(ui::PanelAccounts& accounts, const Clock& clock,
                                            ui::PanelAuth& auth, const ui::PanelOptions& options,
                                            const std::string& home, bool announce) {
  return Started(std::make_unique<ui::PanelServer>(accounts, clock, auth, options), auth, options,
                 home, announce);
}

int RunPanelPassword(const CommandLine& cl) {
  const std::optional<std::string> flagHome = cl.flag("home");
  if (!flagHome || flagHome->empty()) {
    std::cerr << "brindle-warden: panel-password needs --home DIR\n";
    return 2;
  }
  std::string home = *flagHome;
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (!EnsureDirectory(home)) {
    std::cerr << "brindle-warden: cannot use " << home << " as the home directory (--home)\n";
    return 2;
  }
  std::string password;
  std::getline(std::cin, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (Status s = ui::WritePasswordFile(PasswordFile(home), password); !s) {
    std::cerr << "brindle-warden: panel-password: " << s.message() << "; nothing changed\n";
    return 2;
  }
  std::cout << "the settings panel's password is set (" << PasswordFile(home)
            << "); restart the service to use it\n";
  return 0;
}

}  // namespace bw::app
