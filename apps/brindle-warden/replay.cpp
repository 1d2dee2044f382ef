#include "replay.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <regex>

#include "automod/rule_file.h"
#include "core/replay_engine.h"
#include "logs/run_log.h"
#include "onebot/events.h"
#include "onebot/json_fields.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "util/time_text.h"
#include "web/json_nesting.h"

namespace bw::app {
namespace {

using onebot::Json;

int Fail(const std::string& message) {
  std::cerr << "brindle-warden replay: " << message << "\n";
  return 2;
}

// Times beyond this are refused: the clock's range ends in 2262, and no
// recording reaches that far.
constexpr int64_t kLastUnixSecond = 4102444800;  // 2100-01-01 00:00:00 UTC
constexpr int kLastYear = 2099;

std::optional<SystemTime> ParseClock(const std::string& text) {
  static const std::regex kForm(R"((\d{4})-(\d{1,2})-(\d{1,2}) (\d{1,2}):(\d{2}):(\d{2}))");
  std::smatch m;
  if (!std::regex_match(text, m, kForm)) return std::nullopt;
  int v[6];
  for (int i = 0; i < 6; ++i) v[i] = std::stoi(m[i + 1].str());
  if (v[0] < 1970 || v[0] > kLastYear || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 ||
      v[3] > 23 || v[4] > 59 || v[5] > 59)
    return std::nullopt;
  return LocalTime(v[0], v[1], v[2], v[3], v[4], v[5]);
}

bool IsAccount(const std::string& s) {
  return !s.empty() && s.size() <= 18 && s.find_first_not_of("0123456789") == std::string::npos &&
         s != std::string(s.size(), '0');
}

// A control line: every entry through the same setters the user interface
// uses, so that the switches' handlers run.
void ApplyControls(Settings& settings, const Json& set, size_t line) {
  if (!set.is_object()) {
    std::cerr << "line " << line << ": \"set\" must hold an object of control names\n";
    return;
  }
  for (auto it = set.begin(); it != set.end(); ++it) {
    const std::string& name = it.key();
    bool done = false;
    if (it->is_boolean()) {
      done = settings.setChecked(name, it->get<bool>());
    } else if (it->is_string()) {
      done = settings.setText(name, it->get<std::string>());
    } else if (it->is_number()) {
      done = settings.setText(name, it->dump());
    }
    if (!done)
      std::cerr << "line " << line << ": cannot set " << name
                << " (no such control, or a value of the wrong kind)\n";
  }
}

// An automod control line: {"automod": {"rules": [...], ...}} applies that rule
// set (the panel's JSON), {"automod": "FILE"} the rules of a rule file. Rules
// that cannot be read are turned off, each problem on standard error. The
// data folder's own rule file stays as it is.
void ApplyAutomod(ReplayEngine& engine, const Json& value, size_t line) {
  automod::RuleSet set;
  std::vector<automod::Problem> problems;
  if (value.is_string()) {
    std::string text;
    if (Status st = ReadFileBytes(value.get<std::string>(), text); !st) {
      std::cerr << "line " << line << ": automod: cannot read " << value.get<std::string>() << ": "
                << st.message() << ", skipped\n";
      return;
    }
    automod::LoadedRules loaded = automod::ReadRuleText(text);
    set = std::move(loaded.set);
    problems = std::move(loaded.problems);
  } else if (value.is_object()) {
    set = automod::FromJson(nlohmann::json::parse(value.dump()), problems);
    // useRules reports the rules' and the ladder's problems; the rest are the set's own.
    std::erase_if(problems, [](const automod::Problem& p) {
      return !p.ruleId.empty() || p.field.starts_with("ladder");
    });
  } else {
    std::cerr << "line " << line
              << ": \"automod\" must hold a rule set or a rule file's path, skipped\n";
    return;
  }
  for (auto& p : engine.core().modules.automod.useRules(std::move(set)))
    problems.push_back(std::move(p));
  for (const automod::Problem& p : problems)
    std::cerr << "line " << line << ": automod: " << p.text()
              << (p.ruleId.empty() ? "" : " (rule turned off)") << "\n";
}

}  // namespace

int RunReplay(const CommandLine& cl) {
  const std::optional<std::string> home = cl.flag("home");
  if (!home || home->empty()) return Fail("--home DIR is required");
  const std::string self = cl.flag("self").value_or("10000");
  if (!IsAccount(self)) return Fail("--self must be a QQ number, not \"" + self + "\"");
  SystemTime start = std::chrono::system_clock::now();
  if (auto text = cl.flag("clock")) {
    auto t = ParseClock(*text);
    if (!t) return Fail("--clock must read \"YYYY-MM-DD HH:MM:SS\", not \"" + *text + "\"");
    start = *t;
  }
  if (cl.positional.size() > 1) return Fail("at most one FILE");
  std::string runDirectory = *home;
  while (runDirectory.size() > 1 && runDirectory.back() == '/') runDirectory.pop_back();
  if (FileExists(runDirectory) && !DirectoryExists(runDirectory))
    return Fail("--home " + *home + " is not a directory");
  if (!EnsureDirectory(runDirectory + "/data/" + self + "/群数据/"))
    return Fail("cannot create the data directory below --home " + *home);

  std::ifstream file;
  std::istream* in = &std::cin;
  if (!cl.positional.empty() && cl.positional[0] != "-") {
    const std::string& path = cl.positional[0];
    if (DirectoryExists(path)) return Fail(path + " is a directory, not an event file");
    file.open(path, std::ios::binary);
    if (!file) return Fail("cannot read " + path + ": " + std::strerror(errno));
    in = &file;
  }

  ReplayOptions options;
  options.runDirectory = runDirectory;
  options.self = std::stoll(self);
  options.nick = cl.flag("nick").value_or("");
  options.start = start;
  ReplayEngine engine(options);
  engine.host().setObserver([](const HostCall& call) {
    if (call.action == "set_fatal") std::cerr << "fatal\t" << call.text << "\n" << std::flush;
    if (!call.isAction()) return;
    std::cout << call.toJson() << "\n" << std::flush;
  });
  engine.lifecycle().runLog().subscribe([](const RunLogEntry& e) {
    std::cerr << "runlog\t" << e.type << "\t" << e.message << "\n" << std::flush;
  });
  engine.start();
  VirtualClock& clock = engine.clock();

  std::string line;
  size_t number = 0;
  while (std::getline(*in, line)) {
    ++number;
    if (number == 1 && line.starts_with("\xEF\xBB\xBF")) line.erase(0, 3);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    onebot::ParsedFrame parsed = onebot::ParseFrame(line);
    if (parsed.tooDeep) {
      std::cerr << "line " << number << ": nested more than " << kMaxJsonNesting << " levels deep ("
                << line.size() << " bytes), skipped: " << onebot::Excerpt(line) << "\n";
      continue;
    }
    const Json& value = parsed.value;
    if (!parsed.ok() || !value.is_object()) {
      std::cerr << "line " << number << ": not a JSON object, skipped\n";
      continue;
    }
    if (auto set = value.find("set"); set != value.end() && !value.contains("post_type")) {
      ApplyControls(engine.lifecycle().settings(), *set, number);
      engine.runDueTasks();  // the switch may have started the scheduler
      continue;
    }
    if (auto rules = value.find("automod"); rules != value.end() && !value.contains("post_type")) {
      ApplyAutomod(engine, *rules, number);
      continue;
    }
    if (auto to = value.find("clock"); to != value.end() && !value.contains("post_type")) {
      const std::optional<SystemTime> t =
          to->is_string() ? ParseClock(to->get<std::string>()) : std::nullopt;
      if (!t) {
        std::cerr << "line " << number
                  << ": \"clock\" must read \"YYYY-MM-DD HH:MM:SS\", skipped\n";
      } else if (*t < clock.now()) {
        std::cerr << "line " << number << ": the clock does not go back (it reads "
                  << FormatDateTime(clock.now(), "yyyy-MM-dd ", "HH:mm:ss", true) << "), skipped\n";
      } else {
        engine.moveClockTo(*t);
      }
      continue;
    }
    const std::string postType = onebot::TextField(value, "post_type");
    if (postType == "meta_event") continue;
    if (postType != "message" && postType != "notice" && postType != "request") {
      std::cerr << "line " << number << ": neither an event (post_type message, notice or "
                << "request) nor a control line, skipped\n";
      continue;
    }
    const onebot::MappedEvent event = onebot::MapEvent(value);
    if (event.kind == onebot::EventKind::kMalformed) {
      std::cerr << "line " << number << ": malformed event (" << event.note << "), skipped\n";
      continue;
    }
    // The event's own time, when later, is when it happens.
    if (const std::optional<int64_t> at = onebot::IntField(value, "time"); at && *at > 0) {
      if (*at >= kLastUnixSecond) {
        std::cerr << "line " << number << ": \"time\" " << *at
                  << " lies beyond the year 2099; the clock stays\n";
      } else if (const SystemTime t = std::chrono::system_clock::from_time_t(*at);
                 t > clock.now()) {
        engine.moveClockTo(t);
      }
    }
    if (!onebot::Deliver(event, engine.entryPoints())) {
      std::cerr << "line " << number << ": not handled (" << event.note << ")\n";
      continue;
    }
    engine.settle();
  }
  if (in->bad()) {
    std::cerr << "brindle-warden replay: reading stopped at line " << number << "\n";
  }
  engine.shutdown();
  return 0;
}

}  // namespace bw::app
