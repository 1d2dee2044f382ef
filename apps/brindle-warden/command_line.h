// The command line of brindle-warden: a command word, then --flag value or
// --flag=value pairs and positional arguments.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "util/log.h"

namespace bw::app {

struct CommandLine {
  std::string command;  // "run" (default), "replay", "panel", "help", "version"
  std::map<std::string, std::string> flags;  // without the leading "--"
  std::vector<std::string> positional;
  std::string error;  // set when the line cannot be understood

  std::optional<std::string> flag(const std::string& name) const;
};

// `valueFlags` take a value; any other --flag is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// "debug", "info", "warning" or "error"; nullopt for anything else.
std::optional<LogLevel> ParseLogLevel(const std::string& text);

// The text of --help.
std::string HelpText();

// The per-user data directory: $XDG_DATA_HOME/brindle-warden, else
// ~/.local/share/brindle-warden.
std::string DefaultHome();

}  // namespace bw::app
