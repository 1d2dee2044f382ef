#include "support/robot_fixture.h"

#include <stdexcept>

#include "storage/schema.h"
#include "util/files.h"
#include "util/text.h"

namespace bw::test {

std::string FakeQqServices::fetchNickname(const std::string& qq) {
  std::lock_guard lock(mu);
  requests.push_back("nickname:" + qq);
  auto it = nicknames.find(qq);
  return it == nicknames.end() ? std::string() : it->second;
}

std::string FakeQqServices::fetchQqLevel(const std::string& qq) {
  std::lock_guard lock(mu);
  requests.push_back("level:" + qq);
  auto it = levels.find(qq);
  return it == levels.end() ? std::string() : it->second;
}

int FakeQqServices::fetchGroupList(std::vector<GroupListEntry>& entries) {
  std::lock_guard lock(mu);
  requests.push_back("grouplist");
  entries = groups;
  return static_cast<int>(entries.size());
}

RobotFixture::RobotFixture()
    : clock(LocalTime(2026, 12, 7, 21, 5, 9)),
      runLog(clock, &lists.runLog),
      groupLog(clock, dir.path() + "data/10000/群数据/") {
  const std::string data = dir.path() + "data/10000/";
  EnsureDirectory(data + "群数据/");
  identity.setDirectories(dir.path().substr(0, dir.path().size() - 1), data);
  identity.setLoginAccount("10000");
  host.setLoginQQ(10000);
  if (!DeployAndConnectSqlite(db, data)) throw std::runtime_error("test database not created");
}

RobotFixture::~RobotFixture() { db.Disconnect(); }

void RobotFixture::manage(std::vector<int64_t> groups) {
  lists.groups.clear();
  for (size_t i = 0; i < groups.size(); ++i) {
    ListRow row;
    row.checked = true;
    row.cells = {std::to_string(i + 1), std::to_string(groups[i]), "群" + std::to_string(i + 1),
                 "管理员", ""};
    lists.groups.append(row);
  }
  managedGroups.replace(std::move(groups));
}

int64_t RobotFixture::count(const std::string& sql) {
  ScopedQuery q(db, sql);
  if (!q.next()) return -1;
  return TextToInt(q.text(0));
}

std::string RobotFixture::text(const std::string& sql) {
  ScopedQuery q(db, sql);
  if (!q.next()) return "<no row>";
  return q.text(0);
}

std::vector<std::string> RobotFixture::runLogLines() const {
  std::vector<std::string> out;
  for (const auto& e : runLog.entries()) out.push_back(e.type + "|" + e.message);
  return out;
}

}  // namespace bw::test
