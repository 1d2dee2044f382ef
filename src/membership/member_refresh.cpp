#include "membership/member_refresh.h"

#include <utility>
#include <vector>

#include "events/delay.h"
#include "host/host_api.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/member_limit.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/ini_file.h"
#include "storage/list_file.h"
#include "storage/member_table.h"
#include "storage/settings_store.h"
#include "util/log.h"
#include "util/text.h"
#include "web/qq_services.h"

namespace bw {
namespace {

constexpr const char* kFetching = "正在获取群成员";
constexpr const char* kUpdating = "获取群成员成功正在更新数据库";
constexpr const char* kDone = "初始化成功";
constexpr const char* kFailed = "获取群成员失败";

}  // namespace

MemberRefresh::MemberRefresh(Clock& clock, HostApi& host, Settings& settings, ListViews& views,
                             RunLog& runLog, QqServices& qq, std::stop_token stop,
                             MemberTable& members, AccountLists& lists, MemberLimit& limit,
                             SettingsStore& store)
    : clock_(clock),
      host_(host),
      settings_(settings),
      views_(views),
      runLog_(runLog),
      qq_(qq),
      stop_(std::move(stop)),
      members_(members),
      lists_(lists),
      limit_(limit),
      store_(store) {
  store_.setAfterRebuild([this] {
    if (settings_.checked(opt::kMemberLimitOn)) limit_.recountMembers();
  });
}

MemberRefresh::~MemberRefresh() {
  store_.setAfterRebuild({});
  stop();
}

bool MemberRefresh::refreshGroupList() {
  std::vector<GroupListEntry> entries;
  // No list at all is a failed fetch (no link, no answer): emptying the list
  // would drop every managed group until the next refresh succeeds.
  if (qq_.fetchGroupList(entries) <= 0 || entries.empty()) {
    LogWarning("member refresh: no group list was delivered; the group list is kept");
    runLog_.WriteRunLog("操作", "获取群列表失败, 群列表保持不变");
    return false;
  }
  // One read of the switches for the whole list: a read per group would grow
  // with the square of the list.
  const ProfileSection ticks = ReadProfileSection(store_.path("群设置.ini"), "开关");
  std::vector<ListRow> rows;
  for (const GroupListEntry& e : entries) {
    if (e.role == "成员") continue;  // the robot cannot manage it
    ListRow row;
    row.checked = TextToInt(ticks.value(e.group, "0")) == 1;
    // Names come from the network (the implementation or the web): the row
    // shows what 群列表.txt will hold, one line with no separator in it.
    row.cells = {std::to_string(rows.size() + 1), e.group,
                 ListCellText(CleanNetworkText(e.name), false), e.role, ""};
    rows.push_back(std::move(row));
  }
  const size_t count = rows.size();
  views_.groups.replaceAll(std::move(rows));
  store_.RebuildGroupDerivedLists();
  runLog_.WriteRunLog("操作", "共获取到有权限管理的群" + std::to_string(count) + "个");
  return true;
}

void MemberRefresh::setStatus(size_t row, const std::string& group, const std::string& status) {
  // The list may have been refilled meanwhile: never mark another group's row.
  views_.groups.updateRow(row, [&](ListRow& r) {
    if (r.cells[groupcol::kGroup] == group) r.cells[groupcol::kStatus] = status;
  });
}

MemberRefresh::RowResult MemberRefresh::refreshRow(size_t row, std::stop_token stop) {
  ListModel& groups = views_.groups;
  const std::string previous = groups.cell(row, groupcol::kStatus);
  if (row >= groups.rowCount() || !groups.checked(row) || previous == kDone) {
    return RowResult::kSkipped;
  }
  const std::string group = groups.cell(row, groupcol::kGroup);
  if (!IsAccountNumber(group)) {
    LogWarning("member refresh: row " + std::to_string(row + 1) + " holds \"" + group +
               "\", no group number; skipped");
    return RowResult::kSkipped;
  }
  RunLog& log = runLog_;

  setStatus(row, group, kFetching);
  log.WriteRunLog("获取", "群:" + group + " 正在获取群成员");
  std::vector<GroupMember> members;
  const int32_t rc = host_.CQ_getGroupMemberList(TextToInt(group), members);
  if (rc != 0 || members.empty()) {
    setStatus(row, group, kFailed);
    log.WriteRunLog("获取", "群:" + group + " 获取群成员失败");
    return RowResult::kFailed;
  }
  log.WriteRunLog("获取", "群:" + group + " 获取群成员成功正在更新数据库");
  setStatus(row, group, kUpdating);

  switch (members_.replaceGroup(TextToInt(group), members, stop)) {
    case MemberTable::Replaced::kReplaced:
      break;
    case MemberTable::Replaced::kStopped:
      setStatus(row, group, previous);  // the group keeps its old rows
      return RowResult::kStopped;
    case MemberTable::Replaced::kFailed:
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
  std::stop_callback byRobot(stop_, [&source] { source.request_stop(); });
  const std::stop_token token = source.get_token();

  bool stopped = false;
  for (size_t row = 0; row < views_.groups.rowCount() && !stopped; ++row) {
    const RowResult result = refreshRow(row, token);
    if (result == RowResult::kSkipped) continue;
    stopped = result == RowResult::kStopped || !delay(clock_, 500, 0, token);
  }
  if (!stopped) {
    runLog_.WriteRunLog("获取", "全部勾选群 群成员 获取完毕!");
    if (settings_.checked(opt::kMemberLimitOn)) limit_.recountMembers();
    lists_.loadAdministrators();  // owners and administrators join the administrator text
  }
  running_ = false;
}

void MemberRefresh::refreshOneGroup(size_t row) {
  const RowResult result = refreshRow(row, stop_);
  if (result == RowResult::kSkipped) return;
  // The new group's count would otherwise stay empty until the next full run.
  if (result == RowResult::kRefreshed && settings_.checked(opt::kMemberLimitOn)) {
    limit_.recountMembers();
  }
  lists_.loadAdministrators();
}

void MemberRefresh::onGroupTicksChanged(size_t row, bool ticked) {
  store_.RebuildGroupDerivedLists();
  if (ticked) refreshOneGroup(row);
}

void MemberRefresh::onColumnTitleClicked(size_t column) {
  ListModel& groups = views_.groups;
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
  running_ = true;  // from the start on, not from when the thread gets going
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
