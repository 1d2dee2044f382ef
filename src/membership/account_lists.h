// AccountLists: the administrator, white and black lists (tables 管理员, 白名单,
// 黑名单), their list views, and the in-memory membership texts that make
// isAdministrator / isWhitelisted fast. The administrator text always holds the
// built-in account 1000000 and every owner and administrator known from 群成员.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <mutex>
#include <string>

namespace bw {

struct Robot;

enum class AccountList { kAdministrators, kWhitelist, kBlacklist };

class AccountLists {
 public:
  explicit AccountLists(Robot& robot);

  bool isAdministrator(const std::string& qq) const;
  bool isWhitelisted(const std::string& qq) const;

  // One row in the list's table with nickname and time; a run-log entry of type
  // "操作" with the outcome ("加入黑名单成功" / "加入黑名单失败" ...).
  bool addToList(AccountList list, const std::string& qq);
  bool removeFromList(AccountList list, const std::string& qq);

  void loadAdministrators();
  void loadWhitelist();
  void loadBlacklist();
  void load(AccountList list);

  // The window's add button: one account per line of the add box, blank lines
  // skipped; the box is emptied and the list reloaded.
  void addFromBox(AccountList list);
  // The window's delete button: every ticked row of the list view.
  void removeTicked(AccountList list);

  std::string administratorText() const;
  std::string whitelistText() const;

 private:
  Robot& robot_;
  mutable std::mutex mu_;
  std::string administrators_ = "|1000000|";
  std::string whitelist_ = "|";
};

}  // namespace bw
