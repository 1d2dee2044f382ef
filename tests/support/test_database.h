// Scratch databases for tests.
//
// TestDatabase: a fresh SQLite file with the schema in its own temporary
// directory, connected through the SQLite3 ODBC driver as the robot does.
//
// PostgresTestDatabase: a connection to the PostgreSQL server named by the
// environment variable BW_TEST_POSTGRES ("server=127.0.0.1;port=55432;
// database=bw_test;user=bw;password=bw"), working in a schema of its own that is
// dropped afterwards, so suites may run side by side. Open() gives nullptr when
// the variable is unset; a test then calls GTEST_SKIP().
//
// BackendTest: the fixture of tests that run once on each backend.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

#include "storage/database.h"
#include "support/temp_dir.h"

namespace bw::test {

class TestDatabase {
 public:
  TestDatabase();  // throws std::runtime_error when the database cannot be made
  ~TestDatabase();

  TempDir dir;  // the data directory
  Database db;

  std::string file() const;  // the SQLite file
};

// The ODBC connection string for BW_TEST_POSTGRES, nullopt when unset.
std::optional<std::string> PostgresConnectionStringFromEnv();

class PostgresTestDatabase {
 public:
  static std::unique_ptr<PostgresTestDatabase> Open(bool withSchema = true);
  ~PostgresTestDatabase();

  Database db;
  const std::string& schemaName() const { return schema_; }

 private:
  PostgresTestDatabase() = default;
  std::string schema_;
};

// Where a table owner's tests run. kAccessStatements: the schema's Access
// statements run against SQLite, which takes their type names.
enum class Backend { kSqlite, kPostgres, kAccessStatements };

// A test's name for its backend ("Sqlite", "Postgres", "AccessStatements").
std::string BackendName(const ::testing::TestParamInfo<Backend>& info);

// A fresh database with the schema on the test's backend, PostgreSQL only
// where BW_TEST_POSTGRES names a server (the test is skipped elsewhere). A
// fixture that builds on it calls BackendTest::SetUp() first and goes on only
// when opened().
class BackendTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override;
  bool opened() const { return db_ != nullptr && !HasFatalFailure(); }
  Database& db() { return *db_; }
  // The database's file on SQLite, "" on the other backends.
  std::string sqliteFile() const { return sqlite_ ? sqlite_->file() : std::string(); }

 private:
  std::unique_ptr<TestDatabase> sqlite_;
  std::unique_ptr<PostgresTestDatabase> pg_;
  std::unique_ptr<TempDir> accessDir_;
  std::unique_ptr<Database> access_;
  Database* db_ = nullptr;
};

// First column of the first row as text, "<no row>" when there is none.
std::string QueryText(Database& db, const std::string& sql);

}  // namespace bw::test
