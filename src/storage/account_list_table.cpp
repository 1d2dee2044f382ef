#include "storage/account_list_table.h"

#include "storage/prepared.h"
#include "util/text.h"

namespace bw {

const char* AccountListTable::TableName(AccountList list) {
  switch (list) {
    case AccountList::kAdministrators:
      return "管理员";
    case AccountList::kWhitelist:
      return "白名单";
    case AccountList::kBlacklist:
      break;
  }
  return "黑名单";
}

// The table name is one of three constants; values are bound.
ExecResult AccountListTable::add(AccountList list, int64_t account, const std::string& nickname,
                                 const std::string& addedAt) {
  return RunPrepared(
      db_, std::string("insert into ") + TableName(list) + "(QQ号,昵称,加入时间) values(?,?,?)",
      {std::to_string(account), nickname, TextToInt(addedAt)});
}

ExecResult AccountListTable::remove(AccountList list, int64_t account) {
  return RunPrepared(db_, std::string("delete from ") + TableName(list) + " where QQ号=?",
                     {std::to_string(account)});
}

std::vector<ListedAccount> AccountListTable::rows(AccountList list) {
  std::vector<ListedAccount> out;
  PreparedQuery q(db_, std::string("select QQ号,昵称,加入时间 from ") + TableName(list) +
                           " order by 加入时间 asc");
  while (q.next()) {
    ListedAccount row;
    row.account = q.text(0);
    row.nickname = q.text(1);
    row.addedAt = q.integer(2);  // 64 bits: times past 2038 too
    out.push_back(std::move(row));
  }
  return out;
}

bool AccountListTable::contains(AccountList list, int64_t account) {
  PreparedQuery q(db_, std::string("select count(1) from ") + TableName(list) + " where QQ号=?",
                  {std::to_string(account)});
  return q.next() && q.integer(0) > 0;
}

}  // namespace bw
