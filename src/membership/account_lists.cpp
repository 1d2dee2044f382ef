#include "membership/account_lists.h"

#include <vector>

#include "host/robot.h"
#include "logs/run_log.h"
#include "storage/database.h"
#include "storage/sql.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "util/clock.h"
#include "util/text.h"
#include "util/time_text.h"
#include "web/qq_services.h"
#include "settings/option_names.h"

namespace bw {
namespace {

struct ListInfo {
  const char* table;
  const char* addBox;
  const char* added;
  const char* notAdded;
  const char* removed;
  const char* notRemoved;
};

const ListInfo& Info(AccountList list) {
  static const ListInfo kAdministrators{"管理员",         opt::kAddAdministrator, "加入管理员成功",
                                        "加入管理员失败", "删除管理员成功",      "删除管理员失败"};
  static const ListInfo kWhitelist{"白名单",         opt::kAddWhitelist, "加入白名单成功",
                                   "加入白名单失败", "删除白名单成功",      "删除白名单失败"};
  static const ListInfo kBlacklist{"黑名单",         opt::kAddBlacklist, "加入黑名单成功",
                                   "加入黑名单失败", "删除黑名单成功",      "删除黑名单失败"};
  switch (list) {
    case AccountList::kAdministrators:
      return kAdministrators;
    case AccountList::kWhitelist:
      return kWhitelist;
    case AccountList::kBlacklist:
      break;
  }
  return kBlacklist;
}

ListModel& View(ListViews& views, AccountList list) {
  switch (list) {
    case AccountList::kAdministrators:
      return views.administrators;
    case AccountList::kWhitelist:
      return views.whitelist;
    case AccountList::kBlacklist:
      break;
  }
  return views.blacklist;
}

// The "|qq|" test. An empty account or one holding the separator could match
// across two entries ("123|456"), so such text is never a member.
bool InDelimitedText(const std::string& text, const std::string& qq) {
  if (qq.empty() || qq.find('|') != std::string::npos) return false;
  return text.find("|" + qq + "|") != std::string::npos;
}

}  // namespace

AccountLists::AccountLists(Robot& robot) : robot_(robot) {}

bool AccountLists::isAdministrator(const std::string& qq) const {
  std::lock_guard lock(mu_);
  return InDelimitedText(administrators_, qq);
}

bool AccountLists::isWhitelisted(const std::string& qq) const {
  std::lock_guard lock(mu_);
  return InDelimitedText(whitelist_, qq);
}

std::string AccountLists::administratorText() const {
  std::lock_guard lock(mu_);
  return administrators_;
}

std::string AccountLists::whitelistText() const {
  std::lock_guard lock(mu_);
  return whitelist_;
}

bool AccountLists::addToList(AccountList list, const std::string& qq) {
  const ListInfo& info = Info(list);
  const std::string nickname = robot_.qq.fetchNickname(qq);
  const std::string now = UnixTimestamp(robot_.clock);
  const bool ok = static_cast<bool>(
      robot_.db.Execute(std::string("insert into ") + info.table + "(QQ号,昵称,加入时间) values(" +
                        SqlQuote(qq) + "," + SqlQuote(nickname) + "," + SqlQuote(now) + ")"));
  robot_.runLog.WriteRunLog("操作", qq + (ok ? info.added : info.notAdded));
  return ok;
}

bool AccountLists::removeFromList(AccountList list, const std::string& qq) {
  const ListInfo& info = Info(list);
  const bool ok = static_cast<bool>(
      robot_.db.Execute(std::string("delete from ") + info.table + " where QQ号=" + SqlQuote(qq)));
  robot_.runLog.WriteRunLog("操作", qq + (ok ? info.removed : info.notRemoved));
  return ok;
}

void AccountLists::load(AccountList list) {
  const ListInfo& info = Info(list);
  std::string text = list == AccountList::kAdministrators ? "|1000000|" : "|";
  std::vector<ListRow> rows;
  {
    ScopedQuery q(robot_.db, std::string("select * from ") + info.table + " order by 加入时间 asc");
    while (q.next()) {
      const std::string qq = q.text("QQ号");
      const std::string nickname = q.text("昵称");
      const int32_t added = q.integer("加入时间");
      text += qq + "|";
      ListRow row;
      row.cells = {std::to_string(rows.size() + 1), qq, nickname,
                   TimestampToText(std::to_string(added))};
      rows.push_back(std::move(row));
    }
  }
  if (list == AccountList::kAdministrators) {
    // Group owners and administrators count as robot administrators everywhere.
    ScopedQuery q(robot_.db, "SELECT distinct  QQ号 from 群成员 where 权限='3' or 权限='2'");
    while (q.next()) text += q.text(0) + "|";
  }
  View(robot_.lists, list).replaceAll(std::move(rows));
  if (list == AccountList::kBlacklist) return;  // tested in the database
  std::lock_guard lock(mu_);
  (list == AccountList::kAdministrators ? administrators_ : whitelist_) = std::move(text);
}

void AccountLists::loadAdministrators() { load(AccountList::kAdministrators); }
void AccountLists::loadWhitelist() { load(AccountList::kWhitelist); }
void AccountLists::loadBlacklist() { load(AccountList::kBlacklist); }

void AccountLists::addFromBox(AccountList list) {
  const char* box = Info(list).addBox;
  // Lines end in CR LF in the window; a bare LF (web panel, files) ends one too.
  for (std::string line : Split(robot_.settings.text(box), "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) addToList(list, line);
  }
  robot_.settings.setText(box, "");
  load(list);
}

void AccountLists::removeTicked(AccountList list) {
  for (const ListRow& row : View(robot_.lists, list).rows()) {
    if (row.checked && row.cells.size() > accountcol::kQQ) {
      removeFromList(list, row.cells[accountcol::kQQ]);
    }
  }
  load(list);
}

}  // namespace bw
