#include "storage/account_list_table.h"

#include "storage/sql.h"

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

ExecResult AccountListTable::add(AccountList list, int64_t account, const std::string& nickname,
                                 const std::string& addedAt) {
  return db_.Execute(std::string("insert into ") + TableName(list) +
                     "(QQ号,昵称,加入时间) values(" + SqlQuote(account) + "," + SqlQuote(nickname) +
                     "," + SqlQuote(addedAt) + ")");
}

ExecResult AccountListTable::remove(AccountList list, int64_t account) {
  return db_.Execute(std::string("delete from ") + TableName(list) +
                     " where QQ号=" + SqlQuote(account));
}

std::vector<ListedAccount> AccountListTable::rows(AccountList list) {
  std::vector<ListedAccount> out;
  ScopedQuery q(db_, std::string("select * from ") + TableName(list) + " order by 加入时间 asc");
  while (q.next()) {
    ListedAccount row;
    row.account = q.text("QQ号");
    row.nickname = q.text("昵称");
    // Read as 64 bits: a 32-bit read wraps times past 2038.
    row.addedAt = q.integer64(db_.ColumnIndex(q.handle(), "加入时间"));
    out.push_back(std::move(row));
  }
  return out;
}

bool AccountListTable::contains(AccountList list, int64_t account) {
  ScopedQuery q(db_, std::string("select count(1) from ") + TableName(list) +
                         " where QQ号 =" + SqlQuote(account));
  return q.next() && q.integer(0) > 0;
}

}  // namespace bw
