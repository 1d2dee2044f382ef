#include "command_line.h"

#include <cstdlib>
#include <set>

namespace bw::app {
namespace {

const std::set<std::string> kValueFlags = {"home",      "url",        "token", "config",
                                           "postgres",  "self",       "nick",  "clock",
                                           "log-level", "update-url", "panel"};
// Flags that take no value; they stand in `flags` with the value "1".
const std::set<std::string> kSwitchFlags = {"no-panel"};

}  // namespace

std::optional<std::string> CommandLine::flag(const std::string& name) const {
  auto it = flags.find(name);
  if (it == flags.end()) return std::nullopt;
  return it->second;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  size_t i = 0;
  if (i < args.size() && !args[i].starts_with("-")) {
    cl.command = args[i++];
  }
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      cl.command = "help";
      return cl;
    }
    if (a == "--version") {
      cl.command = "version";
      return cl;
    }
    if (a == "-") {  // standard input as FILE
      cl.positional.push_back(a);
      continue;
    }
    if (!a.starts_with("--")) {
      if (a.starts_with("-")) {
        cl.error = "unknown option " + a;
        return cl;
      }
      cl.positional.push_back(a);
      continue;
    }
    std::string name = a.substr(2);
    std::optional<std::string> value;
    if (const size_t eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    }
    if (kSwitchFlags.contains(name) && !value) {
      cl.flags[name] = "1";
      continue;
    }
    if (!kValueFlags.contains(name)) {
      cl.error = "unknown option --" + name;
      return cl;
    }
    if (!value) {
      if (i + 1 >= args.size()) {
        cl.error = "--" + name + " needs a value";
        return cl;
      }
      value = args[++i];
    }
    cl.flags[name] = *value;
  }
  if (cl.command.empty()) cl.command = "run";
  if (cl.command != "run" && cl.command != "replay" && cl.command != "panel") {
    cl.error = "unknown command \"" + cl.command + "\" (try --help)";
  }
  return cl;
}

std::optional<LogLevel> ParseLogLevel(const std::string& s) {
  if (s == "debug") return LogLevel::kDebug;
  if (s == "info") return LogLevel::kInfo;
  if (s == "warning" || s == "warn") return LogLevel::kWarning;
  if (s == "error") return LogLevel::kError;
  return std::nullopt;
}

std::string DefaultHome() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    return std::string(xdg) + "/brindle-warden";
  if (const char* home = std::getenv("HOME"); home && *home)
    return std::string(home) + "/.local/share/brindle-warden";
  return "brindle-warden";
}

std::string HelpText() {
  return R"(brindle-warden — a QQ group-moderation robot (OneBot v11 service and replay)

Usage:
  brindle-warden [run] [--home DIR] [--url URL] [--token TOKEN] [--config FILE]
                 [--postgres CONNECTION] [--update-url URL] [--log-level LEVEL]
                 [--panel [ADDRESS:]PORT | --no-panel]
  brindle-warden replay --home DIR [--self QQ] [--nick NAME]
                 [--clock "YYYY-MM-DD HH:MM:SS"] [--log-level LEVEL] [FILE]
  brindle-warden panel --home DIR [--self QQ] [--panel [ADDRESS:]PORT]
  brindle-warden --version
  brindle-warden --help

Commands:
  run        (the default) Connect to a OneBot v11 implementation over its forward
             WebSocket and moderate the groups ticked in the group list. Keeps
             retrying while nothing listens; stops cleanly on SIGINT or SIGTERM
             (settings saved, database closed).
  replay     Run recorded OneBot v11 events (one JSON object per line, from FILE
             or standard input) through the rules without any account. Prints
             each host call that acts as one JSON line on standard output and
             each run-log entry as "runlog<TAB>type<TAB>message" on standard error.
             A line {"set": {"<control name>": <text or true/false>}} changes
             options before the next line. Exit status 2 for a bad --home or an
             unreadable FILE.
  panel      Serve only the settings panel for the data in DIR, without connecting
             to any account (offline configuration). Stops on SIGINT or SIGTERM
             and saves the settings.

Options:
  --home DIR         The run directory. Settings, lists and the database live in
                     DIR/data/<account>/. Default for run: $XDG_DATA_HOME/brindle-warden
                     or ~/.local/share/brindle-warden. Required for replay.
  --url URL          run: the OneBot forward WebSocket, ws://host:port[/path]
                     (default ws://127.0.0.1:3001, or url= in the config file).
  --token TOKEN      run: the access token configured in the OneBot implementation,
                     sent as "Authorization: Bearer TOKEN" (or access_token= in the
                     config file, which keeps it out of the process list).
  --config FILE      run: an INI file with section [onebot] and keys url= and
                     access_token=, and optionally [database] postgres= and
                     [update] url= (default DIR/brindle-warden.ini when it exists).
  --postgres CONN    run: keep the data in PostgreSQL through ODBC instead of the
                     SQLite file, e.g. "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;
                     PORT=5432;DATABASE=warden;UID=warden;PWD=secret".
  --update-url URL   run: the update server (https://host/dir/, serving update.txt).
                     Every 30 minutes the service asks it for the newest version and
                     reports a newer one in the log; it installs nothing. Unset: no
                     update check.
  --panel [ADDR:]PORT  run, panel: where the settings panel listens (default
                     127.0.0.1:8077; only loopback addresses). The login URL is
                     printed in the log; the token stays in DIR/panel.token.
  --no-panel         run: serve no settings panel.
  --self QQ          replay, panel: the robot's own account (default 10000; for
                     panel the one account directory in DIR/data when there is one).
  --nick NAME        replay: the robot's nickname (default empty).
  --clock TIME       replay: the local date and time the virtual clock starts at
                     (default now). Every pause of the rules advances it instantly.
  --log-level LEVEL  debug, info, warning or error: the service log on standard
                     error (default info for run, warning for replay).
  --version          Print the version and exit.
  --help, -h         Print this text and exit.
)";
}

}  // namespace bw::app
