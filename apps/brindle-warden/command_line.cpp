#include "command_line.h"

#include <sys/stat.h>

#include <cstdlib>
#include <set>

#include "settings/option_names.h"
#include "util/files.h"

namespace bw::app {
namespace {

const std::set<std::string> kValueFlags = {"home",       "url",          "token",      "token-file",
                                           "config",     "postgres",     "self",       "nick",
                                           "clock",      "log-level",    "update-url", "panel",
                                           "panel-host", "panel-origin", "listen",     "accounts"};
// Flags that take no value; they stand in `flags` with the value "1".
const std::set<std::string> kSwitchFlags = {"no-panel", "panel-public"};

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
  if (cl.flags.contains("token") && cl.flags.contains("token-file")) {
    cl.error = "give --token or --token-file, not both";
    return cl;
  }
  if (cl.command.empty()) cl.command = "run";
  if (cl.command != "run" && cl.command != "replay" && cl.command != "panel" &&
      cl.command != "panel-password") {
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

Status ReadTokenFile(const std::string& path, std::string& token) {
  token.clear();
  std::string bytes;
  if (Status st = ReadFileBytes(path, bytes); !st)
    return Status::Error("--token-file: " + st.message());
  const size_t end = bytes.find_first_of("\r\n");
  std::string line = bytes.substr(0, end);
  const size_t first = line.find_first_not_of(" \t");
  const size_t last = line.find_last_not_of(" \t");
  if (first != std::string::npos) token = line.substr(first, last - first + 1);
  if (token.empty())
    return Status::Error("--token-file: " + path + " holds no token on its first line");
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0)
    LogWarning("--token-file: other users may read " + path + " (chmod 600 it)");
  return Status::Ok();
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
  brindle-warden [run] [--home DIR] [--config FILE] [--url URL | --listen [ADDRESS:]PORT]
                 [--token-file FILE | --token TOKEN] [--postgres CONNECTION]
                 [--update-url URL] [--log-level LEVEL] [--self QQ] [--accounts LIST]
                 [--panel [ADDRESS:]PORT [--panel-public] [--panel-host NAME]
                  [--panel-origin URL] | --no-panel]
  brindle-warden replay --home DIR [--self QQ] [--nick NAME]
                 [--clock "YYYY-MM-DD HH:MM:SS"] [--log-level LEVEL] [FILE]
  brindle-warden panel --home DIR [--self QQ] [--panel [ADDRESS:]PORT] [--panel-…]
  brindle-warden panel-password --home DIR   (the password on standard input)
  brindle-warden --version
  brindle-warden --help

Commands:
  run        (the default) Connect to a OneBot v11 implementation over its forward
             WebSocket and moderate the groups ticked in the group list. Keeps
             retrying while nothing listens; stops cleanly on SIGINT or SIGTERM
             (settings saved, database closed). Its log goes to standard output.
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
  panel-password  Set the settings panel's password: reads it from the first
             line of standard input (at least 8 characters) and keeps only its
             salted hash in DIR/panel.password (mode 0600). While it exists, the
             panel asks for the password and the token no longer logs in; delete
             the file to go back to the token. Restart the service to apply it.

Options:
  --home DIR         The run directory, created rwx------ when missing. It holds the
                     config file (DIR/brindle-warden.ini) and, in DIR/data/<account>/,
                     the options, lists and database. Default for run:
                     $XDG_DATA_HOME/brindle-warden or ~/.local/share/brindle-warden.
                     Required for replay.
  --config FILE      run: an INI file with section [onebot] and keys url= (or
                     listen=) and access_token=, and optionally [database] postgres= and
                     [update] url= (default DIR/brindle-warden.ini, in --home, when
                     it exists). The best place for the token: chmod 600 the file.
                     Several accounts in one process (at most 50): one section
                     [account QQ] per account with url= and access_token= (or
                     token_file=); see the README. A malformed section names its
                     line and the service does not start (exit status 2).
                     hold_seconds= in [onebot] (1 to 86400, default 600): how long
                     acting calls wait for an implementation that is away; an
                     account that connected to --listen and stays away longer
                     is released (settings saved) and restarts when it is back.
  --accounts LIST    run: only these accounts (QQ numbers, comma-separated) may
                     run; the others are not started (default: every one, or
                     accounts= in the config's [onebot] section).
  --url URL          run: the OneBot forward WebSocket, ws://host:port[/path]
                     (default ws://127.0.0.1:3001, or url= in the config file).
  --listen [ADDRESS:]PORT  run: instead of --url, let the implementation connect
                     to the robot (its reverse WebSocket) at ws://ADDRESS:PORT/ or
                     ws://ADDRESS:PORT/onebot/v11/ws (or listen= in [onebot] of the
                     config file). ADDRESS defaults to 127.0.0.1; name another only
                     with an access token. The implementation must send the token
                     (Authorization: Bearer TOKEN or ?access_token=TOKEN) and its
                     account in X-Self-ID.
  --token-file FILE  run: read the access token from the first line of FILE.
  --token TOKEN      run: the access token itself. Every user can read it in the
                     process list (ps): prefer access_token= in the config file or
                     --token-file. The token is the one configured in the OneBot
                     implementation, sent as "Authorization: Bearer TOKEN".
  --postgres CONN    run: keep the data in PostgreSQL through ODBC instead of the
                     SQLite file, e.g. "DRIVER={PostgreSQL Unicode};SERVER=127.0.0.1;
                     PORT=5432;DATABASE=warden;UID=warden;PWD=secret".
  --update-url URL   run: the update server (https://host/dir/, serving update.txt).
                     Every 30 minutes the service asks it for the newest version and
                     reports a newer one in the log; it installs nothing. Unset: no
                     update check. A service of several accounts checks once for all.
  --panel [ADDR:]PORT  run, panel: where the settings panel listens (default
                     127.0.0.1:8077). The login URL is printed in the log; the
                     token stays in DIR/panel.token.
  --panel-public     run, panel: allow --panel on an address beyond loopback
                     (e.g. 0.0.0.0:8077). Needs a password (panel-password). The
                     panel has no TLS: prefer a reverse proxy with TLS on loopback.
  --panel-host NAME  run, panel: a further name the panel is reached by (the Host
                     header NAME:PORT), e.g. the machine's name on the LAN.
  --panel-origin URL run, panel: the origin of a reverse proxy in front of the
                     panel, e.g. https://panel.example.com (its pages may change
                     settings).
  --no-panel         run: serve no settings panel.
  --self QQ          replay, panel: the robot's own account (default 10000; for
                     panel every account with a directory in DIR/data, each in
                     the panel's account switcher).
                     run: the account whose settings the panel edits while the
                     service waits for its OneBot implementation (same default).
  --nick NAME        replay: the robot's nickname (default empty).
  --clock TIME       replay: the local date and time the virtual clock starts at
                     (default now). Every pause of the rules advances it instantly.
  --log-level LEVEL  debug, info, warning or error (default info for run, warning
                     for replay). run logs to standard output, replay to standard
                     error, beside its run-log lines.
  --version          Print the version and exit.
  --help, -h         Print this text and exit.

Options of the rules without the settings panel: stop the service, then edit
DIR/data/<account>/setsoft.ini (UTF-8): check boxes stand in section [选择框] as
)" + std::string(opt::kAdDetectionOn) +
         R"(=真 (on) or =假 (off), edit boxes in [编辑框], radio boxes in
[单选框]. The service saves every option when it stops, so edit it only while the
service is stopped; the next start reads it.
)";
}

}  // namespace bw::app
