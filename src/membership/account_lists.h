// AccountLists: the administrator, white and black lists (their tables belong
// to AccountListTable), their list views, and the in-memory membership texts
// that make isAdministrator / isWhitelisted fast. The administrator text always
// holds the built-in account 1000000 and every owner and administrator known
// from 群成员. The blacklist is asked of its table.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "storage/account_list_table.h"

namespace bw {

class Clock;
class RunLog;
class Settings;
struct ListViews;
class ListModel;
class QqServices;
class MemberTable;

class AccountLists {
 public:
  AccountLists(Clock& clock, Settings& settings, ListViews& views, RunLog& runLog, QqServices& qq,
               AccountListTable& table, MemberTable& members);

  bool isAdministrator(int64_t account) const;
  bool isWhitelisted(int64_t account) const;
  bool isBlacklisted(int64_t account);
  // Text forms for callers that still hold an account as text: text that is no
  // account number is on no list.
  bool isAdministrator(std::string_view account) const;
  bool isWhitelisted(std::string_view account) const;

  // One row in the list's table with nickname and time; a run-log entry of type
  // "操作" with the outcome ("加入黑名单成功" / "加入黑名单失败" ...).
  bool addToList(AccountList list, int64_t account);
  bool removeFromList(AccountList list, int64_t account);
  // Text form: text that is no account number is refused with a log line.
  bool addToList(AccountList list, std::string_view account);

  void loadAdministrators();
  void loadWhitelist();
  void loadBlacklist();
  void load(AccountList list);

  // What the add button did with the box's lines, account numbers as text.
  struct BoxOutcome {
    std::vector<std::string> added;
    std::vector<std::string> skipped;  // listed already
    std::vector<std::string> failed;   // the table refused the row
    std::vector<std::string> refused;  // no account number
  };
  // The window's add button: one account per line of the add box, blank lines
  // skipped, accounts listed already (or earlier in the box) skipped, so that
  // an account has one row; lines that are no account number refused with a
  // log line; the box is emptied and the list reloaded.
  BoxOutcome addFromBox(AccountList list);
  // The list's view.
  ListModel& view(AccountList list);
  // The window's delete button: every ticked row of the list view.
  void removeTicked(AccountList list);

  std::string administratorText() const;
  std::string whitelistText() const;

 private:
  Clock& clock_;
  Settings& settings_;
  ListViews& views_;
  RunLog& runLog_;
  QqServices& qq_;
  AccountListTable& table_;
  MemberTable& members_;
  mutable std::mutex mu_;
  std::string administrators_ = "|1000000|";
  std::string whitelist_ = "|";
};

}  // namespace bw
