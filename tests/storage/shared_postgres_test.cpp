// Two services' storage on one PostgreSQL database: two worker processes
// (tests/storage/storage_worker.cpp) deploy the schema into the same empty
// database at the same moment and then count warnings of one account, 10,000
// each, each robot blacklisting one account. Runs where the suite has its throw-away PostgreSQL
// (BW_TEST_POSTGRES).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "storage/case_table.h"
#include "storage/database.h"
#include "storage/member_table.h"
#include "storage/prepared.h"
#include "storage/schema.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

extern char** environ;

namespace bw::test {
namespace {

struct Worker {
  pid_t pid = -1;
  std::string output;  // file of its standard output
};

Worker Spawn(const std::vector<std::string>& args, const std::string& output) {
  Worker w;
  w.output = output;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&w.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) w.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return w;
}

// The exit status (-1 when it did not exit normally) and what it printed.
std::pair<int, std::string> Wait(const Worker& w) {
  int status = 0;
  if (w.pid < 0 || waitpid(w.pid, &status, 0) != w.pid || !WIFEXITED(status)) return {-1, ""};
  std::ifstream in(w.output);
  std::stringstream text;
  text << in.rdbuf();
  return {WEXITSTATUS(status), text.str()};
}

TEST(SharedPostgresTest, TwoServicesDeployAtOnceAndCountEveryWarning) {
  const auto connection = PostgresConnectionStringFromEnv();
  if (!connection) GTEST_SKIP() << "BW_TEST_POSTGRES not set";
  // An empty schema of its own is the empty database both services find.
  auto admin = PostgresTestDatabase::Open(false);
  ASSERT_TRUE(admin);
  const std::string schema = admin->schemaName();
  // Commits not waiting for the disk: the test is about counting, not durability.
  const std::string shared = *connection + "ConnSettings={SET search_path TO " + schema +
                             ";SET synchronous_commit TO off};";

  constexpr int kEach = 10000;
  constexpr int64_t kAccount = 3141592653;
  constexpr int64_t kRobots[] = {10001, 10002};
  const auto startAt = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count() +
                       1500;
  TempDir dir;
  std::vector<Worker> workers;
  for (int i = 0; i < 2; ++i) {
    workers.push_back(
        Spawn({BW_STORAGE_WORKER, shared, std::to_string(startAt), std::to_string(kAccount),
               std::to_string(kEach), std::to_string(kRobots[i]), std::to_string(kRobots[1 - i])},
              dir.path() + "worker" + std::to_string(i) + ".txt"));
    ASSERT_GT(workers.back().pid, 0);
  }
  int lastSeen = 0;
  for (const Worker& w : workers) {
    const auto [status, output] = Wait(w);
    EXPECT_EQ(status, 0) << output;
    EXPECT_NE(output.find("deployed"), std::string::npos) << output;
    const size_t at = output.find("counted ");
    ASSERT_NE(at, std::string::npos) << output;
    lastSeen = std::max(lastSeen, std::stoi(output.substr(at + 8)));
    // One robot's blacklisting is honoured by the other with the shared
    // blacklist, and only then.
    EXPECT_NE(output.find("shared: sees the other"), std::string::npos) << output;
    EXPECT_NE(output.find("own: misses the other"), std::string::npos) << output;
  }
  // Every warning counted once, in one row; the last one judged by the total.
  PreparedQuery rows(admin->db, "select 警告次数 from 警告记录 where QQ号=?",
                     {std::to_string(kAccount)});
  std::vector<int64_t> counts;
  while (rows.next()) counts.push_back(rows.integer(0));
  EXPECT_EQ(counts, std::vector<int64_t>{2 * kEach});
  EXPECT_EQ(lastSeen, 2 * kEach);

  // The whole schema is there, once: as many tables as it creates.
  int64_t created = 0;
  for (const std::string& sql : SchemaStatements(SqlDialect::kPostgres))
    if (sql.starts_with("CREATE TABLE")) ++created;
  ASSERT_GE(created, 7);
  PreparedQuery tables(
      admin->db, "select count(*) from information_schema.tables where table_schema=?", {schema});
  ASSERT_TRUE(tables.next());
  EXPECT_EQ(tables.integer(0), created);
}

// Two services' connections writing the same rows at full speed, without the
// processes around them: each records cases (whose numbers follow the
// largest one) and refreshes the member list of the group they share.
TEST(SharedPostgresTest, TwoConnectionsNeverLoseACaseNorDoubleAGroupsMembers) {
  const auto connection = PostgresConnectionStringFromEnv();
  if (!connection) GTEST_SKIP() << "BW_TEST_POSTGRES not set";
  auto admin = PostgresTestDatabase::Open();
  ASSERT_TRUE(admin);
  const std::string shared =
      *connection + "ConnSettings={SET search_path TO " + admin->schemaName() + "};";
  constexpr int kCases = 300;
  constexpr int kRefreshes = 150;
  std::vector<GroupMember> members;
  for (int64_t account : {10001, 10002, 20001, 20002, 20003}) {
    GroupMember m;
    m.group = 100;
    m.account = account;
    m.permission = 1;
    members.push_back(m);
  }

  struct Side {
    Database db;
    std::vector<int64_t> ids;
    int64_t mostRowsSeen = 0;
  };
  Side sides[2];
  for (Side& side : sides) ASSERT_TRUE(side.db.Connect(shared));
  std::vector<std::thread> threads;
  for (int robot = 0; robot < 2; ++robot) {
    threads.emplace_back([&, robot] {
      Side& side = sides[robot];
      CaseTable cases(side.db);
      MemberTable rows(side.db);
      for (int i = 0; i < kRefreshes; ++i) {
        if (rows.replaceGroup(100, members, {}) != MemberTable::Replaced::kReplaced) continue;
        side.mostRowsSeen = std::max(side.mostRowsSeen, rows.countInGroup(100));
      }
      for (int i = 0; i < kCases; ++i) {
        CaseRecord c;
        c.time = 1765112709 + i;
        c.robot = 10001 + robot;
        c.group = 100;
        c.member = 20001;
        c.action = std::string(kCaseWarn);
        side.ids.push_back(cases.add(c));
      }
    });
  }
  for (std::thread& t : threads) t.join();

  std::set<int64_t> distinct;
  for (const Side& side : sides) {
    EXPECT_EQ(std::count(side.ids.begin(), side.ids.end(), 0), 0) << "cases not stored";
    distinct.insert(side.ids.begin(), side.ids.end());
    // After its own refresh a robot sees the group once, never twice.
    EXPECT_EQ(side.mostRowsSeen, static_cast<int64_t>(members.size()));
  }
  distinct.erase(0);
  EXPECT_EQ(distinct.size(), 2u * kCases);
  PreparedQuery stored(admin->db, "select count(*) from 处罚记录");
  ASSERT_TRUE(stored.next());
  EXPECT_EQ(stored.integer(0), 2 * kCases);
  PreparedQuery groupRows(admin->db, "select count(*) from 群成员 where 群号=?", {"100"});
  ASSERT_TRUE(groupRows.next());
  EXPECT_EQ(groupRows.integer(0), static_cast<int64_t>(members.size()));
}

}  // namespace
}  // namespace bw::test
