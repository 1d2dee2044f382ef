// brindle-warden replay: recorded OneBot v11 events through the rules, with a
// recording host and a virtual clock.
#pragma once

#include "command_line.h"

namespace bw::app {

// The exit status: 0, or 2 for a bad --home, --self, --clock or FILE.
int RunReplay(const CommandLine& cl);

}  // namespace bw::app
