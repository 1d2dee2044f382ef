// brindle-warden: the QQ group-moderation robot as a Linux service, and the
// replay of recorded events through its rules.
#include <iostream>
#include <string>
#include <vector>

#include "command_line.h"
#include "panel_options.h"
#include "replay.h"
#include "service.h"
#include "util/log.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const bw::app::CommandLine cl = bw::app::ParseCommandLine(args);
  if (cl.command == "help") {
    std::cout << bw::app::HelpText();
    return 0;
  }
  if (cl.command == "version") {
    std::cout << "brindle-warden " << BW_VERSION << "\n";
    return 0;
  }
  if (!cl.error.empty()) {
    std::cerr << "brindle-warden: " << cl.error << "\n";
    return 2;
  }
  if (cl.command == "replay") {
    // Standard error carries the run log; the service log adds only trouble.
    bw::LogLevel level = bw::LogLevel::kWarning;
    if (auto text = cl.flag("log-level")) {
      auto parsed = bw::app::ParseLogLevel(*text);
      if (!parsed) {
        std::cerr << "brindle-warden: --log-level must be debug, info, warning or error\n";
        return 2;
      }
      level = *parsed;
    }
    bw::SetLogLevel(level);
    return bw::app::RunReplay(cl);
  }
  if (cl.command == "panel") return bw::app::RunPanel(cl);
  if (cl.command == "panel-password") return bw::app::RunPanelPassword(cl);
  return bw::app::RunService(cl);
}
