// AccountListTable: the one owner of the tables 管理员, 白名单 and 黑名单, one row
// per listed account (QQ号, 昵称, 加入时间). It holds their statement texts;
// the membership texts and list views built from them belong to AccountLists.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/database.h"

namespace bw {

enum class AccountList { kAdministrators, kWhitelist, kBlacklist };

struct ListedAccount {
  std::string account;
  std::string nickname;
  int64_t addedAt = 0;  // Unix seconds; past 2038 too
};

class AccountListTable {
 public:
  explicit AccountListTable(Database& db) : db_(db) {}

  // The table's name ("管理员", "白名单", "黑名单").
  static const char* TableName(AccountList list);

  ExecResult add(AccountList list, int64_t account, const std::string& nickname,
                 const std::string& addedAt);
  // "no row" when the account was not listed.
  ExecResult remove(AccountList list, int64_t account);
  // Every row, oldest first.
  std::vector<ListedAccount> rows(AccountList list);
  // Whether the account is on the list (a failed query reads as no).
  bool contains(AccountList list, int64_t account);

 private:
  Database& db_;
};

}  // namespace bw
