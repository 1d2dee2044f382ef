// Single-row inserts into 群成员 (with its indexes) on SQLite in WAL mode with
// synchronous NORMAL: through Database::Execute (ODBC, SQLite3 driver) in
// autocommit and inside transactions of 1,000 rows, and the same statements
// through the sqlite3 C API as the physical reference. The ODBC run on the
// driver's default journal shows what WAL buys. Compare the rows/s counters
// (wall time: the work is waiting for the disk as much as computing).
#include "storage/database.h"

#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "storage/schema.h"
#include "storage/sql.h"

namespace {

constexpr int kBatch = 1000;

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "bw-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern + "/";
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string InsertSql(int64_t n) {
  return "insert into 群成员(群号,QQ号,加群时间) values(" + bw::SqlQuote("30001") + "," +
         bw::SqlQuote(std::to_string(100000 + n)) + "," + bw::SqlQuote("1700000000") + ")";
}

void SetRate(benchmark::State& state, int64_t rows) {
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(rows), benchmark::Counter::kIsRate);
}

void BM_OdbcAutocommit(benchmark::State& state) {
  ScratchDir dir;
  bw::Database db;
  if (!bw::DeployAndConnectSqlite(db, dir.path())) return state.SkipWithError("no database");
  int64_t n = 0;
  for (auto _ : state) {
    if (!db.Execute(InsertSql(n++))) return state.SkipWithError("insert failed");
  }
  SetRate(state, n);
}

void BM_OdbcAutocommitDefaultJournal(benchmark::State& state) {
  ScratchDir dir;
  bw::Database db;
  if (!db.Connect("DRIVER={SQLite3};Database=" + dir.path() + "default.db;") ||
      !bw::CreateSchema(db, bw::SqlDialect::kSqlite))
    return state.SkipWithError("no database");
  int64_t n = 0;
  for (auto _ : state) {
    if (!db.Execute(InsertSql(n++))) return state.SkipWithError("insert failed");
  }
  SetRate(state, n);
}

void BM_OdbcTransaction(benchmark::State& state) {
  ScratchDir dir;
  bw::Database db;
  if (!bw::DeployAndConnectSqlite(db, dir.path())) return state.SkipWithError("no database");
  int64_t n = 0;
  for (auto _ : state) {
    bw::Transaction tx(db);
    for (int i = 0; i < kBatch; ++i) {
      if (!db.Execute(InsertSql(n++))) return state.SkipWithError("insert failed");
    }
    if (!tx.commit()) return state.SkipWithError("commit failed");
  }
  SetRate(state, n);
}

struct RawSqlite {
  sqlite3* db = nullptr;
  explicit RawSqlite(const std::string& file) {
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) throw std::runtime_error("sqlite3_open");
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=NORMAL");
    for (const auto& sql : bw::SchemaStatements(bw::SqlDialect::kSqlite)) exec(sql);
  }
  ~RawSqlite() { sqlite3_close(db); }
  bool exec(const std::string& sql) {
    return sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
  }
};

void BM_Sqlite3Autocommit(benchmark::State& state) {
  ScratchDir dir;
  RawSqlite raw(dir.path() + "raw.db");
  int64_t n = 0;
  for (auto _ : state) {
    if (!raw.exec(InsertSql(n++))) return state.SkipWithError("insert failed");
  }
  SetRate(state, n);
}

void BM_Sqlite3Transaction(benchmark::State& state) {
  ScratchDir dir;
  RawSqlite raw(dir.path() + "raw.db");
  int64_t n = 0;
  for (auto _ : state) {
    raw.exec("BEGIN");
    for (int i = 0; i < kBatch; ++i) {
      if (!raw.exec(InsertSql(n++))) return state.SkipWithError("insert failed");
    }
    if (!raw.exec("COMMIT")) return state.SkipWithError("commit failed");
  }
  SetRate(state, n);
}

BENCHMARK(BM_OdbcAutocommitDefaultJournal)
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(200)
    ->UseRealTime();
BENCHMARK(BM_OdbcAutocommit)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Sqlite3Autocommit)->Unit(benchmark::kMicrosecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_OdbcTransaction)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();
BENCHMARK(BM_Sqlite3Transaction)->Unit(benchmark::kMillisecond)->MinTime(1.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
