// MembershipFixture: a RobotFixture whose Robot talks to the test database
// through a RecordingDatabase (every statement text is kept, in order), with
// all membership components wired together the way the service wires them.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "host/robot.h"
#include "membership/account_lists.h"
#include "membership/arrivals.h"
#include "membership/departures.h"
#include "membership/invite_stats.h"
#include "membership/join_screening.h"
#include "membership/member_limit.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "support/robot_fixture.h"

namespace bw::test {

// The test database, recording each statement text before running it.
class RecordingDatabase : public Database {
 public:
  ExecResult Execute(const std::string& sql, int64_t* rowCount = nullptr) override {
    remember(sql);
    if (onStatement && !onStatement(sql)) return ExecResult{-1};
    return Database::Execute(sql, rowCount);
  }
  Statement Query(const std::string& sql, int cursorType = 1) override {
    remember(sql);
    if (onStatement && !onStatement(sql)) return 0;
    return Database::Query(sql, cursorType);
  }
  // Runs before each statement (set it before the code under test runs); a
  // false answer makes the statement fail without reaching the database.
  std::function<bool(const std::string&)> onStatement;
  std::vector<std::string> statements() const {
    std::lock_guard lock(mu_);
    return statements_;
  }
  // Statements that start with `prefix`.
  std::vector<std::string> statementsStartingWith(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const auto& s : statements()) {
      if (s.rfind(prefix, 0) == 0) out.push_back(s);
    }
    return out;
  }
  void clearStatements() {
    std::lock_guard lock(mu_);
    statements_.clear();
  }

 private:
  void remember(const std::string& sql) {
    std::lock_guard lock(mu_);
    statements_.push_back(sql);
  }
  mutable std::mutex mu_;
  std::vector<std::string> statements_;
};

class MembershipFixture : public ::testing::Test, public RobotFixture {
 protected:
  MembershipFixture()
      : r(clock, host, settings, lists, runLog, groupLog, sql, qq, managedGroups, identity,
          stopSource.get_token()) {
    r.setDirectories(robot->runDirectory(), robot->dataDirectory());
    r.setLoginAccount("10000");
    if (!sql.ConnectSqlite(DatabaseFile(robot->dataDirectory()))) {
      ADD_FAILURE() << "the recording connection did not open";
    }
  }
  ~MembershipFixture() override { sql.Disconnect(); }

  // A member-change record.
  static MemberChangeRecord change(int32_t subType, int64_t group, int64_t op, int64_t member) {
    MemberChangeRecord r;
    r.subType = subType;
    r.fromGroup = group;
    r.fromQQ = op;
    r.beingOperateQQ = member;
    return r;
  }

  // A 群成员 row as a refresh would have stored it.
  void addMemberRow(int64_t group, int64_t qq, int64_t joined, int64_t lastSpoke = 0,
                    int permission = 1) {
    ASSERT_TRUE(db.Execute(
        "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values('" +
        std::to_string(group) + "','" + std::to_string(qq) + "','n','c','0','" +
        std::to_string(joined) + "','" + std::to_string(lastSpoke) + "','" +
        std::to_string(permission) + "','0')"));
  }

  // The limit list (and welcome list) rows of the managed groups, as the
  // settings store derives them.
  void deriveLists(const std::vector<std::string>& limitsText = {},
                   const std::vector<std::string>& currents = {}) {
    lists.limits.clear();
    lists.welcome.clear();
    auto groups = managedGroups.snapshot();
    for (size_t i = 0; i < groups.size(); ++i) {
      ListRow limit;
      limit.cells = {std::to_string(i + 1),
                     std::to_string(groups[i]),
                     "g",
                     i < currents.size() ? currents[i] : "",
                     i < limitsText.size() ? limitsText[i] : "",
                     ""};
      lists.limits.append(limit);
      ListRow welcome;
      welcome.cells = {std::to_string(i + 1), std::to_string(groups[i]), "g", ""};
      lists.welcome.append(welcome);
    }
  }

  std::vector<HostCall> actionsNamed(const std::string& action) const {
    std::vector<HostCall> out;
    for (const auto& c : host.actions()) {
      if (c.action == action) out.push_back(c);
    }
    return out;
  }

  std::stop_source stopSource;
  RecordingDatabase sql;
  Robot r;
  InviteStats invites{r};
  AccountLists accounts{r};
  MemberLimit limit{r, invites};
  Departures departures{r, invites, accounts, limit};
  Arrivals arrivals{r, invites, limit};
  JoinScreening screening{r, invites};
};

}  // namespace bw::test
