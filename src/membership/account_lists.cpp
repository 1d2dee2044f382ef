#include "membership/account_lists.h"

#include <charconv>
#include <set>
#include <vector>

#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/member_table.h"
#include "util/clock.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"
#include "web/qq_services.h"

namespace bw {
namespace {

struct ListInfo {
  const char* addBox;
  const char* added;
  const char* notAdded;
  const char* removed;
  const char* notRemoved;
};

const ListInfo& Info(AccountList list) {
  static const ListInfo kAdministrators{opt::kAddAdministrator, "加入管理员成功", "加入管理员失败",
                                        "删除管理员成功", "删除管理员失败"};
  static const ListInfo kWhitelist{opt::kAddWhitelist, "加入白名单成功", "加入白名单失败",
                                   "删除白名单成功", "删除白名单失败"};
  static const ListInfo kBlacklist{opt::kAddBlacklist, "加入黑名单成功", "加入黑名单失败",
                                   "删除黑名单成功", "删除黑名单失败"};
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

// Asked for every group message: the "|account|" needle is built on the stack.
bool InDelimitedText(const std::string& text, int64_t account) {
  if (account <= 0) return false;
  char needle[24];
  needle[0] = '|';
  char* end = std::to_chars(needle + 1, needle + sizeof needle - 1, account).ptr;
  *end++ = '|';
  return text.find(std::string_view(needle, end - needle)) != std::string::npos;
}

}  // namespace

AccountLists::AccountLists(Clock& clock, Settings& settings, ListViews& views, RunLog& runLog,
                           QqServices& qq, AccountListTable& table, MemberTable& members)
    : clock_(clock),
      settings_(settings),
      views_(views),
      runLog_(runLog),
      qq_(qq),
      table_(table),
      members_(members) {}

bool AccountLists::isAdministrator(int64_t account) const {
  std::lock_guard lock(mu_);
  return InDelimitedText(administrators_, account);
}

bool AccountLists::isWhitelisted(int64_t account) const {
  std::lock_guard lock(mu_);
  return InDelimitedText(whitelist_, account);
}

bool AccountLists::isBlacklisted(int64_t account) {
  return table_.contains(AccountList::kBlacklist, account);
}

bool AccountLists::isAdministrator(std::string_view account) const {
  return IsAccountNumber(account) && isAdministrator(TextToInt(account));
}

bool AccountLists::isWhitelisted(std::string_view account) const {
  return IsAccountNumber(account) && isWhitelisted(TextToInt(account));
}

std::string AccountLists::administratorText() const {
  std::lock_guard lock(mu_);
  return administrators_;
}

std::string AccountLists::whitelistText() const {
  std::lock_guard lock(mu_);
  return whitelist_;
}

bool AccountLists::addToList(AccountList list, int64_t account) {
  const ListInfo& info = Info(list);
  const std::string qq = std::to_string(account);
  const std::string nickname = qq_.fetchNickname(qq);
  const ExecResult result = table_.add(list, account, nickname, UnixTimestamp(clock_));
  const bool ok = result.done();
  if (!ok) {
    LogWarning(std::string("account lists: ") + qq + " was not added to " +
               AccountListTable::TableName(list));
  }
  runLog_.WriteRunLog("操作", qq + (ok ? info.added : info.notAdded));
  return ok;
}

bool AccountLists::addToList(AccountList list, std::string_view account) {
  if (!IsAccountNumber(account)) {
    LogWarning("account lists: \"" + std::string(account) +
               "\" is no account number; not added to " + AccountListTable::TableName(list));
    return false;
  }
  return addToList(list, TextToInt(account));
}

bool AccountLists::removeFromList(AccountList list, int64_t account) {
  const ListInfo& info = Info(list);
  const std::string qq = std::to_string(account);
  const ExecResult result = table_.remove(list, account);
  if (result.failed()) {
    LogWarning(std::string("account lists: ") + qq + " was not removed from " +
               AccountListTable::TableName(list));
  }
  // Nothing removed ("no row") is reported as such, as the list shows it.
  const bool ok = result.done();
  runLog_.WriteRunLog("操作", qq + (ok ? info.removed : info.notRemoved));
  return ok;
}

void AccountLists::load(AccountList list) {
  std::string text = list == AccountList::kAdministrators ? "|1000000|" : "|";
  std::vector<ListRow> rows;
  for (const ListedAccount& listed : table_.rows(list)) {
    text += listed.account + "|";
    ListRow row;
    row.cells = {std::to_string(rows.size() + 1), listed.account, listed.nickname,
                 TimestampToText(std::to_string(listed.addedAt))};
    rows.push_back(std::move(row));
  }
  if (list == AccountList::kAdministrators) {
    // Group owners and administrators count as robot administrators everywhere.
    for (const std::string& account : members_.staffAccounts()) text += account + "|";
  }
  View(views_, list).replaceAll(std::move(rows));
  if (list == AccountList::kBlacklist) return;  // asked of the table
  std::lock_guard lock(mu_);
  (list == AccountList::kAdministrators ? administrators_ : whitelist_) = std::move(text);
}

void AccountLists::loadAdministrators() { load(AccountList::kAdministrators); }
void AccountLists::loadWhitelist() { load(AccountList::kWhitelist); }
void AccountLists::loadBlacklist() { load(AccountList::kBlacklist); }

AccountLists::BoxOutcome AccountLists::addFromBox(AccountList list) {
  const char* box = Info(list).addBox;
  BoxOutcome outcome;
  std::set<int64_t> seen;
  // Lines end in CR LF in the window; a bare LF (web panel, files) ends one too.
  for (std::string line : Split(settings_.text(box), "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (!IsAccountNumber(line)) {
      addToList(list, std::string_view(line));  // refuses it with its log line
      outcome.refused.push_back(line);
      continue;
    }
    const int64_t account = TextToInt(line);
    if (!seen.insert(account).second) continue;  // said once already
    if (table_.contains(list, account)) {
      outcome.skipped.push_back(line);
      continue;
    }
    (addToList(list, account) ? outcome.added : outcome.failed).push_back(line);
  }
  settings_.setText(box, "");
  load(list);
  return outcome;
}

ListModel& AccountLists::view(AccountList list) { return View(views_, list); }

void AccountLists::removeTicked(AccountList list) {
  for (const ListRow& row : View(views_, list).rows()) {
    if (!row.checked || row.cells.size() <= accountcol::kQQ) continue;
    const std::string& account = row.cells[accountcol::kQQ];
    if (IsAccountNumber(account)) {
      removeFromList(list, TextToInt(account));
    } else {
      LogWarning("account lists: row \"" + account + "\" is no account number; not removed");
    }
  }
  load(list);
}

}  // namespace bw
