// Listing 处罚记录 at 1,000,000 cases on SQLite (ODBC, SQLite3 driver, WAL):
// the first page and the deepest page, unfiltered and after each filter, by
// CaseTable's keyset paging on (时间, 编号); OFFSET paging to the same depth as
// the reference it replaces; and one more case stored beside a million.
// The million rows are written once through the sqlite3 C API (one
// transaction), then read through the robot's own connection.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "storage/case_table.h"
#include "storage/database.h"
#include "storage/schema.h"

namespace {

constexpr int64_t kCases = 1000000;
constexpr int64_t kStart = 1700000000;
constexpr int kPage = 50;

struct Million {
  std::string dir;
  bw::Database db;
  std::unique_ptr<bw::CaseTable> table;

  Million() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bw-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = pattern + "/";
    if (!bw::DeployAndConnectSqlite(db, dir)) throw std::runtime_error("no database");
    db.Disconnect();
    fill(bw::DatabaseFile(dir));
    if (!db.ConnectSqlite(bw::DatabaseFile(dir))) throw std::runtime_error("no reconnect");
    table = std::make_unique<bw::CaseTable>(db);
  }
  ~Million() {
    db.Disconnect();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }

  // Two cases a second (ties on 时间), 50 groups, 100,000 members, 10 rules,
  // the actions in turn.
  static void fill(const std::string& file) {
    sqlite3* s = nullptr;
    if (sqlite3_open(file.c_str(), &s) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
    sqlite3_exec(s, "begin", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(s,
                       "insert into 处罚记录(编号,时间,机器人,群号,QQ号,动作,规则,原因,证据,执行人,"
                       "数量,仅观察,已撤销,撤销编号) values(?,?,10000,?,?,?,?,?,?,0,600,0,0,0)",
                       -1, &st, nullptr);
    const char* actions[] = {"禁言", "警告", "撤回", "踢出", "拉黑"};
    for (int64_t i = 1; i <= kCases; ++i) {
      const std::string rule = "规则" + std::to_string(i % 10);
      const std::string evidence = "加我微信 第" + std::to_string(i) + "条";
      sqlite3_bind_int64(st, 1, i);
      sqlite3_bind_int64(st, 2, kStart + i / 2);
      sqlite3_bind_int64(st, 3, 100000 + i % 50);
      sqlite3_bind_int64(st, 4, 20000000 + i % 100000);
      sqlite3_bind_text(st, 5, actions[i % 5], -1, SQLITE_STATIC);
      sqlite3_bind_text(st, 6, rule.c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_text(st, 7, "违规词：加我微信", -1, SQLITE_STATIC);
      sqlite3_bind_text(st, 8, evidence.c_str(), -1, SQLITE_TRANSIENT);
      if (sqlite3_step(st) != SQLITE_DONE) throw std::runtime_error("insert");
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(s, "commit", nullptr, nullptr, nullptr);
    sqlite3_exec(s, "analyze", nullptr, nullptr, nullptr);
    sqlite3_close(s);
  }
};

Million& Cases() {
  static Million m;
  return m;
}

enum Filter { kNone, kGroup, kMember, kRule, kAction, kRange };

bw::CaseFilter Make(Filter f) {
  bw::CaseFilter out;
  if (f == kGroup) out.group = 100007;
  if (f == kMember) out.member = 20000007;
  if (f == kRule) out.rule = "规则3";
  if (f == kAction) out.action = "踢出";
  if (f == kRange) {
    out.from = kStart + 100000;
    out.to = kStart + 400000;
  }
  return out;
}

// First page (deep = 0) or the page after the 50 oldest-but-one cases the
// filter matches (deep = 1), where OFFSET would skip almost everything.
void BM_CasePage(benchmark::State& state) {
  Million& m = Cases();
  const bw::CaseFilter filter = Make(static_cast<Filter>(state.range(0)));
  bw::CaseCursor after;
  if (state.range(1)) {
    // The cursor of a page near the end: the case 200 from the oldest match.
    after = {filter.from ? filter.from + 100 : kStart + 100, kCases};
  }
  int64_t rows = 0;
  for (auto _ : state) {
    const bw::CasePage p = m.table->page(filter, after, kPage);
    rows += static_cast<int64_t>(p.cases.size());
    benchmark::DoNotOptimize(p);
  }
  if (rows == 0) state.SkipWithError("no cases");
  state.counters["rows/page"] = static_cast<double>(rows) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_CasePage)
    ->ArgsProduct({{kNone, kGroup, kMember, kRule, kAction, kRange}, {0, 1}})
    ->ArgNames({"filter", "deep"})
    ->Unit(benchmark::kMicrosecond);

// What keyset paging replaces: the same deep page by OFFSET.
void BM_OffsetPageReference(benchmark::State& state) {
  Million& m = Cases();
  const std::string sql = "select * from 处罚记录 order by 时间 desc, 编号 desc limit 50 offset " +
                          std::to_string(kCases - 250);
  for (auto _ : state) {
    bw::ScopedQuery q(m.db, sql, 0);
    int n = 0;
    while (q.next()) ++n;
    if (n == 0) state.SkipWithError("no rows");
  }
}
BENCHMARK(BM_OffsetPageReference)->Unit(benchmark::kMillisecond);

void BM_CaseAddBesideAMillion(benchmark::State& state) {
  Million& m = Cases();
  bw::CaseRecord c;
  c.time = kStart + kCases;
  c.robot = 10000;
  c.group = 100001;
  c.member = 20000001;
  c.action = "禁言";
  c.rule = "规则1";
  c.evidence = "加我微信";
  for (auto _ : state) {
    if (m.table->add(c) == 0) return state.SkipWithError("not stored");
  }
}
BENCHMARK(BM_CaseAddBesideAMillion)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
