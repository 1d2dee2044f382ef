// AccountListTable: the one owner of the tables 管理员, 白名单 and 黑名单, one row
// per listed account (QQ号, 昵称, 加入时间, 机器人). It holds their statement
// texts; the membership texts and list views built from them belong to
// AccountLists.
//
// Several services may share one PostgreSQL database: each robot sees the rows
// it listed (机器人 = its account) and the rows from before the column existed
// (机器人 NULL), so a single service keeps its old lists. With the option
// 共享黑名单 (opt::kSharedBlacklist) on, the blacklist is one for every robot:
// each sees all its rows, and a removal takes the account off for all.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/database.h"

namespace bw {

class Identity;
class Settings;

enum class AccountList { kAdministrators, kWhitelist, kBlacklist };

struct ListedAccount {
  std::string account;
  std::string nickname;
  int64_t addedAt = 0;  // Unix seconds; past 2038 too
};

class AccountListTable {
 public:
  // Without an identity (or before it names the robot) rows are the robot 0's
  // plus the old ones; without settings the blacklist is the robot's own.
  explicit AccountListTable(Database& db, const Identity* identity = nullptr,
                            const Settings* settings = nullptr)
      : db_(db), identity_(identity), settings_(settings) {}

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
  std::string robot() const;
  bool shared(AccountList list) const;

  Database& db_;
  const Identity* identity_;
  const Settings* settings_;
};

}  // namespace bw
