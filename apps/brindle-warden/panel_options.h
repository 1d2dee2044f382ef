// The settings panel's part of the command line: where it listens and who may
// reach it (--panel, --panel-public, --panel-host, --panel-origin), its start
// with the login secret, and the panel-password command.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "command_line.h"
#include "core/robot_core.h"
#include "ui/panel_auth.h"
#include "ui/panel_server.h"

namespace bw::app {

// The panel's options, or nullopt (logged) for a bad --panel or an address
// beyond loopback without --panel-public and a password in `home`.
std::optional<ui::PanelOptions> PanelOptionsOf(const CommandLine& cl, const std::string& home);

// Loads the token (created when missing) and the password of `home` into
// `auth`; false (logged) when either file is unusable.
bool LoadPanelSecrets(ui::PanelAuth& auth, const std::string& home);

// The settings panel of `robot`, started, or null (logged) when it cannot serve.
// `announce`: print how to log in (once per process).
std::unique_ptr<ui::PanelServer> StartPanel(RobotCore& robot, ui::ConnectionStatus& status,
                                            ui::PanelAuth& auth, const ui::PanelOptions& options,
                                            const std::string& home, bool announce = true);

// The one panel of the service of many accounts, started, or null (logged).
std::unique_ptr<ui::PanelServer> StartPanel(ui::PanelAccounts& accounts, const Clock& clock,
                                            ui::PanelAuth& auth, const ui::PanelOptions& options,
                                            const std::string& home, bool announce = true);

// brindle-warden panel-password --home DIR: 0, or 2 for a bad home or password.
int RunPanelPassword(const CommandLine& cl);

}  // namespace bw::app
