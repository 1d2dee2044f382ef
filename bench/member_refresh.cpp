// Member-list refresh: 100 ticked groups of 2,000 members each, from the host's
// member lists into SQLite through the robot's database layer (ODBC), against
// raw sqlite3 references writing the same rows into the same schema. Compare
// the rows_per_s counters (wall time).
//
// Run: build/bench/bench_member_refresh
#include "membership/member_refresh.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/rule_modules.h"
#include "events/managed_groups.h"
#include "host/identity.h"
#include "host/image_info.h"
#include "host/recording_host.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "storage/sql.h"
#include "util/clock.h"
#include "util/log.h"
#include "web/qq_services.h"

namespace {

constexpr int kGroups = 100;
constexpr int kMembers = 2000;
constexpr int64_t kFirstGroup = 600000000;

std::vector<bw::GroupMember> MemberList(int64_t group) {
  std::vector<bw::GroupMember> members;
  members.reserve(kMembers);
  for (int i = 0; i < kMembers; ++i) {
    bw::GroupMember m;
    m.group = group;
    m.account = 1000000000 + (group % 1000) * 10000 + i;
    m.nickname = i % 10 == 0 ? "O'Neil" : "成员" + std::to_string(i);
    m.card = "名片" + std::to_string(i);
    m.sex = i % 2;
    m.joinTime = 1600000000 + i;
    m.lastSpeakTime = i % 3 == 0 ? 0 : 1700000000 + i;
    m.permission = i == 0 ? 3 : 1;
    m.unfriendly = i % 97 == 0;
    members.push_back(std::move(m));
  }
  return members;
}

class TempDirectory {
 public:
  TempDirectory() {
    std::random_device rd;
    path_ = std::filesystem::temp_directory_path() /
            ("bw-bench-refresh-" + std::to_string(rd()) + "-" + std::to_string(rd()));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  std::string path() const { return path_.string() + "/"; }

 private:
  std::filesystem::path path_;
};

class NoImageInfo : public bw::ImageInfo {
 public:
  bw::ImageSize imageSize(const std::string&, const std::string&) override { return {}; }
};

// The whole robot around one refresh, built as the service builds it, with
// every group ticked.
struct RefreshRig {
  TempDirectory dir;
  bw::VirtualClock clock{bw::LocalTime(2026, 12, 7, 21, 5, 9)};
  bw::RecordingHost host;
  bw::Settings settings;
  bw::ListViews lists;
  bw::RunLog runLog{clock, &lists.runLog};
  bw::GroupLog groupLog{clock, dir.path() + "群数据/"};
  bw::Database db;
  bw::OfflineQqServices qq;
  bw::ManagedGroups managed;
  bw::Identity identity;
  NoImageInfo images;
  bw::RuleModules modules{bw::Services{
      clock, host, settings, lists, runLog, groupLog, db, qq, managed, identity, images, {}}};
  bw::MemberRefresh& refresh = modules.memberRefresh;

  RefreshRig() {
    identity.setDirectories(dir.path(), dir.path());
    if (!bw::DeployAndConnectSqlite(db, dir.path())) throw std::runtime_error("no database");
    std::vector<int64_t> groups;
    for (int g = 0; g < kGroups; ++g) {
      const int64_t group = kFirstGroup + g;
      host.setMemberList(group, MemberList(group));
      bw::ListRow row;
      row.checked = true;
      row.cells = {std::to_string(g + 1), std::to_string(group), "群", "管理员", ""};
      lists.groups.append(row);
      groups.push_back(group);
    }
    managed.replace(groups);
  }
  void markUnloaded() {
    for (size_t r = 0; r < lists.groups.rowCount(); ++r) {
      lists.groups.setCell(r, bw::groupcol::kStatus, "");
    }
  }
};

void BM_RefreshTickedMembers(benchmark::State& state) {
  bw::SetLogLevel(bw::LogLevel::kWarning);
  RefreshRig rig;
  for (auto _ : state) {
    state.PauseTiming();
    rig.markUnloaded();
    state.ResumeTiming();
    rig.refresh.refreshTickedMembers();
  }
  size_t loaded = 0;
  for (size_t r = 0; r < rig.lists.groups.rowCount(); ++r) {
    loaded += rig.lists.groups.cell(r, bw::groupcol::kStatus) == "初始化成功";
  }
  if (loaded != kGroups) state.SkipWithError("not every group was refreshed");
  state.counters["rows_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kGroups * kMembers, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RefreshTickedMembers)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

// The raw sqlite3 references write the same rows into the same schema (WAL,
// synchronous NORMAL), one delete and one transaction per group: the same
// statement texts through sqlite3_exec (the reference of bench/database), and
// a prepared insert with bound values (the fastest the library goes).
struct RawSqlite {
  TempDirectory dir;
  sqlite3* db = nullptr;
  std::vector<std::vector<bw::GroupMember>> lists;
  RawSqlite() {
    if (sqlite3_open((dir.path() + "raw.db").c_str(), &db) != SQLITE_OK) {
      throw std::runtime_error("sqlite3_open");
    }
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    for (const auto& sql : bw::SchemaStatements(bw::SqlDialect::kSqlite)) exec(sql);
    for (int g = 0; g < kGroups; ++g) lists.push_back(MemberList(kFirstGroup + g));
  }
  ~RawSqlite() { sqlite3_close(db); }
  bool exec(const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
};

std::string InsertText(const std::string& group, const bw::GroupMember& m) {
  return "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values(" +
         bw::SqlQuote(group) + "," + bw::SqlQuote(m.account) + "," + bw::SqlQuote(m.nickname) +
         "," + bw::SqlQuote(m.card) + "," + bw::SqlQuote(m.sex) + "," + bw::SqlQuote(m.joinTime) +
         "," + bw::SqlQuote(m.lastSpeakTime) + "," + bw::SqlQuote(m.permission) + "," +
         bw::SqlQuote(m.unfriendly ? "1" : "0") + ")";
}

void BM_RawSqlite3StatementTexts(benchmark::State& state) {
  RawSqlite raw;
  for (auto _ : state) {
    for (int g = 0; g < kGroups; ++g) {
      const std::string group = std::to_string(kFirstGroup + g);
      raw.exec("BEGIN");
      raw.exec("delete from 群成员 where 群号=" + bw::SqlQuote(group));
      for (const bw::GroupMember& m : raw.lists[g]) {
        if (!raw.exec(InsertText(group, m))) return state.SkipWithError("insert failed");
      }
      if (!raw.exec("COMMIT")) return state.SkipWithError("commit failed");
    }
  }
  state.counters["rows_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kGroups * kMembers, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawSqlite3StatementTexts)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

void BM_RawSqlite3Prepared(benchmark::State& state) {
  RawSqlite raw;
  sqlite3_stmt* insert = nullptr;
  sqlite3_stmt* remove = nullptr;
  sqlite3_prepare_v2(raw.db,
                     "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) "
                     "values(?,?,?,?,?,?,?,?,?)",
                     -1, &insert, nullptr);
  sqlite3_prepare_v2(raw.db, "delete from 群成员 where 群号=?", -1, &remove, nullptr);
  for (auto _ : state) {
    for (int g = 0; g < kGroups; ++g) {
      const std::string group = std::to_string(kFirstGroup + g);
      raw.exec("BEGIN");
      sqlite3_bind_text(remove, 1, group.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_step(remove);
      sqlite3_reset(remove);
      for (const bw::GroupMember& m : raw.lists[g]) {
        const std::string account = std::to_string(m.account);
        const std::string sex = std::to_string(m.sex);
        const std::string permission = std::to_string(m.permission);
        sqlite3_bind_text(insert, 1, group.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 2, account.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 3, m.nickname.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 4, m.card.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 5, sex.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(insert, 6, m.joinTime);
        sqlite3_bind_int64(insert, 7, m.lastSpeakTime);
        sqlite3_bind_text(insert, 8, permission.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(insert, 9, m.unfriendly ? "1" : "0", -1, SQLITE_STATIC);
        if (sqlite3_step(insert) != SQLITE_DONE) state.SkipWithError("insert failed");
        sqlite3_reset(insert);
      }
      raw.exec("COMMIT");
    }
  }
  sqlite3_finalize(insert);
  sqlite3_finalize(remove);
  state.counters["rows_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kGroups * kMembers, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RawSqlite3Prepared)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
