// The command line of brindle-warden: a command word, then --flag value or
// --flag=value pairs and positional arguments.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "util/log.h"
#include "util/status.h"

namespace bw::app {

struct CommandLine {
  std::string command;  // "run" (default), "replay", "panel", "panel-password", "help", "version"
  std::map<std::string, std::string> flags;  // without the leading "--"
  std::vector<std::string> positional;
  std::string error;  // set when the line cannot be understood

  std::optional<std::string> flag(const std::string& name) const;
};

// `valueFlags` take a value; any other --flag is an error.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// "debug", "info", "warning" or "error"; nullopt for anything else.
std::optional<LogLevel> ParseLogLevel(const std::string& text);

// The access token of --token-file: the file's first line without its line
// end and the blanks around it. An unreadable or empty file is an error; a
// file other users may read is used, with a warning.
Status ReadTokenFile(const std::string& path, std::string& token);

// The text of --help.
std::string HelpText();

// The per-user data directory: $XDG_DATA_HOME/brindle-warden, else
// ~/.local/share/brindle-warden.
std::string DefaultHome();

}  // namespace bw::app
