// brindle-warden run: the robot as a service against a OneBot v11
// implementation.
#pragma once

#include "command_line.h"

namespace bw::app {

// The exit status: 0 after a clean stop, 1 when the access token was refused
// or the account is unknown, 2 for a bad home directory or URL.
int RunService(const CommandLine& cl);

// brindle-warden panel: the settings panel over DIR's data, without any
// account (offline configuration). 0 after a stop, 2 for bad arguments.
int RunPanel(const CommandLine& cl);

}  // namespace bw::app
