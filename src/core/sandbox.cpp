#include "core/sandbox.h"

#include <stdlib.h>

#include <filesystem>
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
    std::string pattern = (fs::temp_directory_path(ec) / "bw-sandbox-XXXXXX").string();
    if (ec) pattern = "/tmp/bw-sandbox-XXXXXX";
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDirectory() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

bool IsDatabaseFile(const std::string& name) { return name.starts_with("brindlewarden.db"); }

// Every file of `from` below `to`, except the group logs (the sandbox writes
// its own), the database (copied apart) and temporary files of a save.
Status CopyData(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) return Status::Error("cannot create " + to.string() + ": " + ec.message());
  for (const fs::directory_entry& e : fs::directory_iterator(from, ec)) {
    const std::string name = e.path().filename().string();
    if (e.is_directory()) {
      if (name == "群数据") continue;
      if (Status s = CopyData(e.path(), to / name); !s) return s;
      continue;
    }
    if (!e.is_regular_file() || IsDatabaseFile(name) || IsAtomicWriteTemporaryName(name)) continue;
    fs::copy_file(e.path(), to / name, fs::copy_options::overwrite_existing, ec);
    if (ec) return Status::Error("cannot copy " + e.path().string() + ": " + ec.message());
  }
  if (ec) return Status::Error("cannot read " + from.string() + ": " + ec.message());
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
    if (FileExists(source)) fs::copy_file(source, target + suffix, ec);
  }
}

void Deliver(ReplayEngine& engine, const SandboxEvent& e, int32_t now) {
  switch (e.kind) {
    case SandboxEvent::Kind::kGroupMessage:
      engine.groupMessage(GroupMessageRecord{1, e.group, e.account, e.text, 0});
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
      r.msg = cq::Escape(e.text, /*commas=*/false);
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
  const fs::path copyData = fs::path(temp.path()) / "data" / account;
  // The files beside the account directories (the colour file) and the account's own.
  std::error_code ec;
  fs::create_directories(copyData, ec);
  for (const fs::directory_entry& e : fs::directory_iterator(live.runDirectory() + "/data", ec)) {
    if (e.is_regular_file() && !IsAtomicWriteTemporaryName(e.path().filename().string()))
      fs::copy_file(e.path(), fs::path(temp.path()) / "data" / e.path().filename(), ec);
  }
  if (Status s = CopyData(data, copyData); !s) return s;
  CopyDatabase(live.database(), data, copyData.string() + "/");

  ReplayOptions options;
  options.runDirectory = temp.path();
  options.self = std::stoll(account);
  options.start = live.clock().now();
  options.refreshMembers = false;
  options.runDueTasks = false;
  // Its entries are the answer, not news of the robot; other lines it logs say where they come
  // from.
  const ScopedLogPrefix prefix("试一试 (副本): ");
  ReplayEngine engine(options);
  engine.lifecycle().runLog().setServiceLog(false);
  if (!engine.start()) return Status::Error("the rules did not start on the copy");
  engine.host().clear();  // the startup's own read calls
  const std::vector<RunLogEntry> before = engine.lifecycle().runLog().entries();
  const int64_t lastId = before.empty() ? 0 : before.back().id;
  outcome.managed = engine.lifecycle().managedGroups().contains(event.group);
  const int32_t now = static_cast<int32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(options.start.time_since_epoch()).count());
  Deliver(engine, event, now);
  outcome.calls = engine.host().actions();
  for (const RunLogEntry& e : engine.lifecycle().runLog().entries())
    if (e.id > lastId) outcome.runLog.push_back(e);
  engine.shutdown();
  return Status::Ok();
}

}  // namespace bw
