#include "membership/member_refresh.h"

#include <unordered_set>
#include <vector>

#include "events/delay.h"
#include "host/host_api.h"
#include "host/robot.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/member_limit.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/ini_file.h"
#include "storage/settings_store.h"
#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"
#include "web/qq_services.h"

namespace bw {
namespace {

constexpr const char* kFetching = "正在获取群成员";
constexpr const char* kUpdating = "获取群成员成功正在更新数据库";
constexpr const char* kDone = "初始化成功";
constexpr const char* kFailed = "获取群成员失败";

std::string InsertMember(const std::string& group, const GroupMember& m) {
  // Called some 2,000 times per group: one buffer instead of a chain of temporaries.
  std::string sql;
  sql.reserve(160 + m.nickname.size() + m.card.size());
  sql += "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values(";
  for (const std::string& value :
       {SqlQuote(group), SqlQuote(m.account), SqlQuote(m.nickname), SqlQuote(m.card),
        SqlQuote(m.sex), SqlQuote(m.joinTime), SqlQuote(m.lastSpeakTime), SqlQuote(m.permission)}) {
    sql += value;
    sql += ',';
  }
  sql += SqlQuote(m.unfriendly ? "1" : "0");
  sql += ')';
  return sql;
}

}  // namespace

MemberRefresh::MemberRefresh(Robot& robot, AccountLists& lists, MemberLimit& limit,
                             SettingsStore& store)
    : robot_(robot), lists_(lists), limit_(limit), store_(store) {
  store_.setAfterRebuild([this] {
    if (robot_.settings.checked(opt::kMemberLimitOn)) limit_.recountMembers();
  });
}

MemberRefresh::~MemberRefresh() {
  store_.setAfterRebuild({});
  stop();
}

void MemberRefresh::refreshGroupList() {
  robot_.lists.groups.clear();
  std::vector<GroupListEntry> entries;
  robot_.qq.fetchGroupList(entries);
  const std::string ticks = store_.path("群设置.ini");
  std::vector<ListRow> rows;
  for (const GroupListEntry& e : entries) {
    if (e.role == "成员") continue;  // the robot cannot manage it
    ListRow row;
    row.checked = TextToInt(ReadProfileString(ticks, "开关", e.group, "0")) == 1;
    row.cells = {std::to_string(rows.size() + 1), e.group, e.name, e.role, ""};
    rows.push_back(std::move(row));
  }
  const size_t count = rows.size();
  robot_.lists.groups.replaceAll(std::move(rows));
  store_.RebuildGroupDerivedLists();
  robot_.runLog.WriteRunLog("操作", "共获取到有权限管理的群" + std::to_string(count) + "个");
}

void MemberRefresh::setStatus(size_t row, const std::string& group, const std::string& status) {
  // The list may have been refilled meanwhile: never mark another group's row.
  robot_.lists.groups.update([&](std::vector<ListRow>& rows) {
    if (row < rows.size() && rows[row].cells.size() > groupcol::kStatus &&
        rows[row].cells[groupcol::kGroup] == group) {
      rows[row].cells[groupcol::kStatus] = status;
    }
  });
}

MemberRefresh::RowResult MemberRefresh::refreshRow(size_t row, std::stop_token stop) {
  ListModel& groups = robot_.lists.groups;
  const std::string previous = groups.cell(row, groupcol::kStatus);
  if (row >= groups.rowCount() || !groups.checked(row) || previous == kDone) {
    return RowResult::kSkipped;
  }
  const std::string group = groups.cell(row, groupcol::kGroup);
  RunLog& log = robot_.runLog;

  setStatus(row, group, kFetching);
  log.WriteRunLog("获取", "群:" + group + " 正在获取群成员");
  std::vector<GroupMember> members;
  const int32_t rc = robot_.host.CQ_getGroupMemberList(TextToInt(group), members);
  if (rc != 0 || members.empty()) {
    setStatus(row, group, kFailed);
    log.WriteRunLog("获取", "群:" + group + " 获取群成员失败");
    return RowResult::kFailed;
  }
  log.WriteRunLog("获取", "群:" + group + " 获取群成员成功正在更新数据库");
  setStatus(row, group, kUpdating);

  bool ok = true;
  {
    Transaction tx(robot_.db);
    ok = tx.ok();
    if (ok)
      robot_.db.Execute("delete from 群成员 where 群号=" + SqlQuote(group));  // may match none
    std::unordered_set<int64_t> seen;
    seen.reserve(members.size());
    for (const GroupMember& m : members) {
      if (!ok) break;
      if (stop.stop_requested()) {
        // Rolled back by the transaction: the group keeps its old rows.
        setStatus(row, group, previous);
        return RowResult::kStopped;
      }
      if (!seen.insert(m.account).second) continue;  // a host listing one account twice
      ok = static_cast<bool>(robot_.db.Execute(InsertMember(group, m)));
    }
    ok = ok && tx.commit();
  }
  if (!ok) {
    LogWarning("member refresh: the member rows of group " + group + " were not replaced");
    setStatus(row, group, kFailed);
    log.WriteRunLog("获取", "群:" + group + " 更新群成员失败");
    return RowResult::kFailed;
  }
  log.WriteRunLog("获取", "群:" + group + " 更新群成员完毕");
  setStatus(row, group, kDone);
  return RowResult::kRefreshed;
}

void MemberRefresh::refreshTickedMembers(std::stop_token stop) {
  std::lock_guard run(runMu_);
  running_ = true;
  // Either the caller's stop or the robot's shutdown ends the run.
  std::stop_source source;
  std::stop_callback byCaller(stop, [&source] { source.request_stop(); });
  std::stop_callback byRobot(robot_.stop, [&source] { source.request_stop(); });
  const std::stop_token token = source.get_token();

  bool stopped = false;
  for (size_t row = 0; row < robot_.lists.groups.rowCount() && !stopped; ++row) {
    const RowResult result = refreshRow(row, token);
    if (result == RowResult::kSkipped) continue;
    stopped = result == RowResult::kStopped || !delay(robot_.clock, 500, 0, token);
  }
  if (!stopped) {
    robot_.runLog.WriteRunLog("获取", "全部勾选群 群成员 获取完毕!");
    if (robot_.settings.checked(opt::kMemberLimitOn)) limit_.recountMembers();
    lists_.loadAdministrators();  // owners and administrators join the administrator text
  }
  running_ = false;
}

void MemberRefresh::refreshOneGroup(size_t row) {
  const RowResult result = refreshRow(row, robot_.stop);
  if (result == RowResult::kSkipped) return;
  // The new group's count would otherwise stay empty until the next full run.
  if (result == RowResult::kRefreshed && robot_.settings.checked(opt::kMemberLimitOn)) {
    limit_.recountMembers();
  }
  lists_.loadAdministrators();
}

void MemberRefresh::onGroupTicksChanged(size_t row, bool ticked) {
  store_.RebuildGroupDerivedLists();
  if (ticked) refreshOneGroup(row);
}

void MemberRefresh::onColumnTitleClicked(size_t column) {
  ListModel& groups = robot_.lists.groups;
  if (column == 0) {
    groups.update([](std::vector<ListRow>& rows) {
      if (rows.empty()) return;
      const bool tick = !rows.front().checked;
      for (ListRow& r : rows) r.checked = tick;
    });
  }
  store_.RebuildGroupDerivedLists();
  if (groups.checked(0)) startRefreshTickedMembers();
}

void MemberRefresh::startRefreshTickedMembers() {
  std::lock_guard lock(mu_);
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
  worker_ = std::jthread([this](std::stop_token stop) { refreshTickedMembers(stop); });
}

void MemberRefresh::stop() {
  std::lock_guard lock(mu_);
  if (worker_.joinable()) {
    worker_.request_stop();
    worker_.join();
  }
}

void MemberRefresh::waitIdle() {
  std::lock_guard lock(mu_);
  if (worker_.joinable()) worker_.join();
}

bool MemberRefresh::running() const { return running_.load(); }

}  // namespace bw
