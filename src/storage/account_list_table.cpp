#include "storage/account_list_table.h"

#include "host/identity.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
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

std::string AccountListTable::robot() const {
  const std::string account = identity_ ? identity_->loginAccount() : std::string();
  return account.empty() ? "0" : account;
}

bool AccountListTable::shared(AccountList list) const {
  return list == AccountList::kBlacklist && settings_ && settings_->checked(opt::kSharedBlacklist);
}

// The table name is one of three constants, the robot filter one of two
// texts; values are bound.
namespace {
constexpr const char* kMine = " (机器人=? or 机器人 is null)";
}

ExecResult AccountListTable::add(AccountList list, int64_t account, const std::string& nickname,
                                 const std::string& addedAt) {
  return RunPrepared(
      db_,
      std::string("insert into ") + TableName(list) + "(QQ号,昵称,加入时间,机器人) values(?,?,?,?)",
      {std::to_string(account), nickname, TextToInt(addedAt), robot()});
}

ExecResult AccountListTable::remove(AccountList list, int64_t account) {
  const std::string sql = std::string("delete from ") + TableName(list) + " where QQ号=?";
  if (shared(list)) return RunPrepared(db_, sql, {std::to_string(account)});
  return RunPrepared(db_, sql + " and" + kMine, {std::to_string(account), robot()});
}

std::vector<ListedAccount> AccountListTable::rows(AccountList list) {
  std::vector<ListedAccount> out;
  const std::string select = std::string("select QQ号,昵称,加入时间 from ") + TableName(list);
  const std::string order = " order by 加入时间 asc";
  const std::string who = robot();
  PreparedQuery q = shared(list) ? PreparedQuery(db_, select + order)
                                 : PreparedQuery(db_, select + " where" + kMine + order, {who});
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
  const std::string sql = std::string("select count(1) from ") + TableName(list) + " where QQ号=?";
  const std::string who = robot();
  PreparedQuery q = shared(list)
                        ? PreparedQuery(db_, sql, {std::to_string(account)})
                        : PreparedQuery(db_, sql + " and" + kMine, {std::to_string(account), who});
  return q.next() && q.integer(0) > 0;
}

}  // namespace bw
