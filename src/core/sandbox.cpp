#include "core/sandbox.h"

#include <stdlib.h>

#include <filesystem>
#include <random>
#include <system_error>

#include "core/replay_engine.h"
#include "host/cq_code.h"
#include "storage/schema.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace fs = std::filesystem;
namespace {

// A private directory (mode 0700: the copy holds the owner's lists) that is
// removed with everything in it when the run ends.
class TempDirectory {
 public:
  TempDirectory() {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    if (ec) return;
#ifndef _WIN32
    std::string pattern = (base / "bw-sandbox-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
#else
    std::random_device random;
    for (int attempt = 0; attempt < 16 && path_.empty(); ++attempt) {
      const fs::path p = base / ("bw-sandbox-" + std::to_string(random()));
      if (fs::create_directory(p, ec)) path_ = p;
    }
#endif
  }
  ~TempDirectory() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// Paths and names as UTF-8, as the rest of the robot spells them.
std::string Utf8(const fs::path& p) {
  const std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}
fs::path PathOf(const std::string& utf8) {
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool IsDatabaseFile(const std::string& name) { return name.starts_with("brindlewarden.db"); }

// Every file of `from` below `to`, except the group logs (the sandbox writes
// its own), the database (copied apart) and temporary files of a save.
Status CopyData(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) return Status::Error("cannot create " + Utf8(to) + ": " + ec.message());
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const std::string name = Utf8(e.path().filename());
    if (e.is_directory()) {
      if (name == "群数据") continue;
      if (Status s = CopyData(e.path(), to / e.path().filename()); !s) return s;
      continue;
    }
    if (!e.is_regular_file() || IsDatabaseFile(name) || IsAtomicWriteTemporaryName(name)) continue;
    fs::copy_file(e.path(), to / e.path().filename(), fs::copy_options::overwrite_existing, ec);
    if (ec) return Status::Error("cannot copy " + Utf8(e.path()) + ": " + ec.message());
  }
  if (ec) return Status::Error("cannot read " + Utf8(from) + ": " + ec.message());
  return Status::Ok();
}

// The database of the copy: a snapshot through the live connection when it is
// open (the rules may be writing; the snapshot is one consistent state), else
// the files themselves (nobody writes them).
void CopyDatabase(Database& live, const std::string& from, const std::string& to) {
  const std::string target = DatabaseFile(to);
  if (live.connected()) {
    if (!SnapshotSqlite(live, target))
      LogWarning("sandbox: no copy of the database (not SQLite?); the sandbox starts empty");
    return;
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal"}) {
    const std::string source = DatabaseFile(from) + suffix;
    if (FileExists(source)) fs::copy_file(PathOf(source), PathOf(target + suffix), ec);
  }
}

// The entry points take C strings: a NUL would end the text there and hide
// the rest from the rules, where the OneBot adapter drops NULs and lets the
// rules read all of it.
std::string WithoutNul(std::string text) {
  std::erase(text, '\0');
  return text;
}

void Deliver(ReplayEngine& engine, const SandboxEvent& e, int32_t now) {
  switch (e.kind) {
    case SandboxEvent::Kind::kGroupMessage:
      engine.groupMessage(GroupMessageRecord{1, e.group, e.account, WithoutNul(e.text), 0});
      return;
    case SandboxEvent::Kind::kJoin:
      engine.memberJoined(
          MemberChangeRecord{e.inviter > 0 ? 2 : 1, now, e.group, e.inviter, e.account});
      return;
    case SandboxEvent::Kind::kLeave:
      engine.memberLeft(MemberChangeRecord{1, now, e.group, e.account, e.account});
      return;
    case SandboxEvent::Kind::kJoinRequest: {
      JoinRequestRecord r;
      r.subType = 1;
      r.sendTime = now;
      r.fromGroup = e.group;
      r.fromQQ = e.account;
      r.msg = cq::Escape(WithoutNul(e.text), /*commas=*/false);
      r.responseFlag = "sandbox";
      r.inviter = e.inviter;
      engine.joinRequest(r);
      return;
    }
  }
}

}  // namespace

Status RunSandbox(RobotCore& robot, const SandboxEvent& event, SandboxOutcome& outcome) {
  outcome = SandboxOutcome{};
  Lifecycle& live = robot.lifecycle();
  const std::string data = live.dataDirectory();
  const std::string account = live.loginAccount();
  if (data.empty() || account.empty() || !robot.startedUp())
    return Status::Error("the robot has not loaded its data yet");
  TempDirectory temp;
  if (temp.path().empty()) return Status::Error("cannot create a temporary directory");
  const fs::path copyData = temp.path() / "data" / PathOf(account);
  // The files beside the account directories (the colour file) and the account's own.
  std::error_code ec;
  fs::create_directories(copyData, ec);
  for (const fs::directory_entry& e :
       fs::directory_iterator(PathOf(live.runDirectory() + "/data"), ec)) {
    if (e.is_regular_file() && !IsAtomicWriteTemporaryName(Utf8(e.path().filename())))
      fs::copy_file(e.path(), temp.path() / "data" / e.path().filename(), ec);
  }
  if (Status s = CopyData(PathOf(data), copyData); !s) return s;
  CopyDatabase(live.database(), data, Utf8(copyData) + "/");

  ReplayOptions options;
  options.runDirectory = Utf8(temp.path());
  options.self = std::stoll(account);
  options.start = live.clock().now();
  options.refreshMembers = false;
  options.runDueTasks = false;
  // Its entries are the answer, not news of the robot; its other lines say
  // where they come from.
  const ScopedLogPrefix prefix("试一试 (副本): ");
  ReplayEngine engine(options);
  engine.lifecycle().runLog().setServiceLog(false);
  if (!engine.start()) return Status::Error("the rules did not start on the copy");
  engine.host().clear();  // the startup's own read calls
  const int64_t lastId = engine.lifecycle().runLog().lastId();
  outcome.managed = engine.lifecycle().managedGroups().contains(event.group);
  const int32_t now = static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(options.start.time_since_epoch()).count());
  Deliver(engine, event, now);
  outcome.calls = engine.host().actions();
  outcome.runLog = engine.lifecycle().runLog().entriesAfter(lastId);
  engine.shutdown();
  return Status::Ok();
}

}  // namespace bw
