// MembershipFixture: a RobotFixture whose rule modules are built through
// RuleModules, the same wiring as the service's. The modules talk to the test
// database through a FaultyDatabase (a second connection to the same file), so
// a test can make chosen statements fail or stall; `db` stays free for
// assertions on the rows left.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/rule_modules.h"
#include "host/host_api.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "support/robot_fixture.h"

namespace bw::test {

// The test database with a hook before each statement.
class FaultyDatabase : public Database {
 public:
  explicit FaultyDatabase(const std::string& file) {
    if (!ConnectSqlite(file)) ADD_FAILURE() << "the modules' connection did not open";
  }
  ~FaultyDatabase() override { Disconnect(); }

  ExecResult Execute(const std::string& sql, int64_t* rowCount = nullptr) override {
    if (onStatement && !onStatement(sql)) return ExecResult{-1};
    return Database::Execute(sql, rowCount);
  }
  Statement Query(const std::string& sql, int cursorType = 1) override {
    if (onStatement && !onStatement(sql)) return 0;
    return Database::Query(sql, cursorType);
  }
  bool AllowPrepared(std::string_view sql) override {
    return !onStatement || onStatement(std::string(sql));
  }
  // Runs before each statement (set it before the code under test runs); a
  // false answer makes the statement fail without reaching the database.
  std::function<bool(const std::string&)> onStatement;
};

// Images have no size here: the membership rules never ask.
class NoImageInfo : public ImageInfo {
 public:
  ImageSize imageSize(const std::string&, const std::string&) override { return {}; }
};

class MembershipFixture : public ::testing::Test, public RobotFixture {
 protected:
  MembershipFixture() = default;

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
  FaultyDatabase sql{DatabaseFile(identity.dataDirectory())};
  NoImageInfo images;
  RuleModules modules{Services{clock, host, settings, lists, runLog, groupLog, sql, qq,
                               managedGroups, identity, images, stopSource.get_token()}};
  InviteStats& invites = modules.invites;
  AccountLists& accounts = modules.accountLists;
  MemberLimit& limit = modules.memberLimit;
  Departures& departures = modules.departures;
  Arrivals& arrivals = modules.arrivals;
  JoinScreening& screening = modules.screening;
  SettingsStore& store = modules.store;
  MemberRefresh& refresh = modules.memberRefresh;
};

}  // namespace bw::test
