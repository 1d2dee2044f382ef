#include "support/test_database.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>

#include "storage/schema.h"

namespace bw::test {
namespace {

// "key=value;key=value" of BW_TEST_POSTGRES.
std::string Setting(const std::string& settings, const std::string& key) {
  size_t pos = 0;
  while (pos < settings.size()) {
    size_t end = settings.find(';', pos);
    if (end == std::string::npos) end = settings.size();
    std::string item = settings.substr(pos, end - pos);
    size_t eq = item.find('=');
    if (eq != std::string::npos && item.substr(0, eq) == key) return item.substr(eq + 1);
    pos = end + 1;
  }
  return {};
}

}  // namespace

TestDatabase::TestDatabase() {
  if (!DeployAndConnectSqlite(db, dir.path())) {
    throw std::runtime_error("test database not created in " + dir.path());
  }
}

TestDatabase::~TestDatabase() { db.Disconnect(); }

std::string TestDatabase::file() const { return DatabaseFile(dir.path()); }

std::optional<std::string> PostgresConnectionStringFromEnv() {
  const char* env = std::getenv("BW_TEST_POSTGRES");
  if (env == nullptr || *env == '\0') return std::nullopt;
  const std::string s = env;
  const std::string port = Setting(s, "port");
  return Database::PostgresConnectionString(
      Setting(s, "server"), port.empty() ? 5432 : std::atoi(port.c_str()), Setting(s, "database"),
      Setting(s, "user"), Setting(s, "password"));
}

std::unique_ptr<PostgresTestDatabase> PostgresTestDatabase::Open(bool withSchema) {
  auto connection = PostgresConnectionStringFromEnv();
  if (!connection) return nullptr;
  std::unique_ptr<PostgresTestDatabase> p(new PostgresTestDatabase());
  if (!p->db.Connect(*connection)) {
    throw std::runtime_error("BW_TEST_POSTGRES is set but the server does not answer");
  }
  static std::atomic<int> counter{0};
  p->schema_ = "bwt_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  if (!p->db.Execute("CREATE SCHEMA " + p->schema_) ||
      !p->db.Execute("SET search_path TO " + p->schema_)) {
    throw std::runtime_error("cannot make the test schema " + p->schema_);
  }
  if (withSchema && !CreateSchema(p->db, SqlDialect::kPostgres)) {
    throw std::runtime_error("cannot create the tables in " + p->schema_);
  }
  return p;
}

PostgresTestDatabase::~PostgresTestDatabase() {
  if (!schema_.empty()) db.Execute("DROP SCHEMA " + schema_ + " CASCADE");
  db.Disconnect();
}

std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  switch (info.param) {
    case Backend::kSqlite:
      return "Sqlite";
    case Backend::kPostgres:
      return "Postgres";
    case Backend::kAccessStatements:
      return "AccessStatements";
  }
  return "Unknown";
}

void BackendTest::SetUp() {
  switch (GetParam()) {
    case Backend::kSqlite:
      sqlite_ = std::make_unique<TestDatabase>();
      db_ = &sqlite_->db;
      break;
    case Backend::kPostgres:
      pg_ = PostgresTestDatabase::Open();
      if (!pg_) GTEST_SKIP() << "BW_TEST_POSTGRES not set";
      db_ = &pg_->db;
      break;
    case Backend::kAccessStatements:
      accessDir_ = std::make_unique<TempDir>();
      access_ = std::make_unique<Database>();
      ASSERT_TRUE(access_->ConnectSqlite(DatabaseFile(accessDir_->path())));
      ASSERT_TRUE(CreateSchema(*access_, SqlDialect::kAccess));
      db_ = access_.get();
      break;
  }
}

std::string QueryText(Database& db, const std::string& sql) {
  ScopedQuery q(db, sql);
  if (!q.next()) return "<no row>";
  return q.text(0);
}

}  // namespace bw::test
