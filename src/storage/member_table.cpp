#include "storage/member_table.h"

#include <unordered_set>

#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

std::string InsertMember(const std::string& group, const GroupMember& m) {
  // Called some 2,000 times per group: one buffer instead of a chain of temporaries.
  std::string sql;
  sql.reserve(160 + m.nickname.size() + m.card.size());
  sql += "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values(";
  for (const std::string& value :
       {SqlQuote(group), SqlQuote(m.account), SqlQuote(m.nickname), SqlQuote(m.card),
        SqlQuote(m.sex), SqlQuote(m.joinTime), SqlQuote(m.lastSpeakTime), SqlQuote(m.permission)}) {
    sql += value;
    sql += ',';
  }
  sql += SqlQuote(m.unfriendly ? "1" : "0");
  sql += ')';
  return sql;
}

}  // namespace

int64_t MemberTable::countRows(const std::string& sql) {
  ScopedQuery q(db_, sql);
  return q.next() ? q.integer(0) : 0;
}

ExecResult MemberTable::write(const std::string& sql, const std::string& what) {
  const ExecResult result = db_.Execute(sql);
  if (result.failed()) LogWarning("群成员: " + what + " failed");
  return result;
}

bool MemberTable::contains(int64_t group, int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号 =" + SqlQuote(member) +
                   " and 群号=" + SqlQuote(group)) > 0;
}

bool MemberTable::inAnyGroup(int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号 =" + SqlQuote(member)) > 0;
}

int64_t MemberTable::countInGroup(int64_t group) {
  return countRows("select count(1) from 群成员 where 群号 =" + SqlQuote(group));
}

std::vector<int64_t> MemberTable::groupsOf(int64_t member) {
  std::vector<int64_t> groups;
  ScopedQuery q(db_, "select 群号 from 群成员 where QQ号=" + SqlQuote(member));
  while (q.next()) {
    const std::string group = q.text(0);
    if (group.empty()) break;
    if (!IsAccountNumber(group)) {
      LogWarning("群成员: group \"" + group + "\" is no group number; skipped");
      continue;
    }
    groups.push_back(TextToInt(group));
  }
  return groups;
}

std::vector<std::string> MemberTable::staffAccounts() {
  std::vector<std::string> accounts;
  ScopedQuery q(db_, "SELECT distinct  QQ号 from 群成员 where 权限='3' or 权限='2'");
  while (q.next()) accounts.push_back(q.text(0));
  return accounts;
}

bool MemberTable::isStaff(int64_t group, int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号 =" + SqlQuote(member) +
                   " and 群号=" + SqlQuote(group) + " and (权限='3' or 权限='2')") > 0;
}

std::vector<int64_t> MemberTable::accountsInOrder(int64_t group, Order order, bool neverSpokeOnly) {
  std::string sql = neverSpokeOnly ? "select QQ号 from 群成员 where 最后发言=0 and 群号="
                                   : "select QQ号 from 群成员 where 群号=";
  sql += SqlQuote(group);
  if (order == Order::kLatestJoined) {
    sql += " ORDER BY 加群时间 DESC";
  } else if (order == Order::kOldestLastSpoke && !neverSpokeOnly) {
    sql += " ORDER BY 最后发言 asc";
  } else {
    sql += " ORDER BY 加群时间 asc";
  }
  std::vector<int64_t> accounts;
  ScopedQuery q(db_, sql);
  while (q.next()) {
    const std::string account = q.text(0);
    if (IsAccountNumber(account)) accounts.push_back(TextToInt(account));
  }
  return accounts;
}

std::optional<int64_t> MemberTable::joinTime(int64_t group, int64_t member) {
  ScopedQuery q(db_, "select 加群时间 from 群成员 where 群号=" + SqlQuote(group) +
                         " and QQ号=" + SqlQuote(member));
  if (!q.next()) return std::nullopt;
  // Access keeps times as DOUBLE: "1733700000.0".
  std::string text = q.text(0);
  text = text.substr(0, text.find('.'));
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  const int64_t t = TextToInt(text);
  if (t <= 0) return std::nullopt;
  return t;
}

ExecResult MemberTable::addArrival(int64_t group, int64_t member, const std::string& joinedAt) {
  // 最后发言 named: Access tables have no column defaults (0: never spoke).
  return write("insert into 群成员(群号,QQ号,加群时间,最后发言) values(" + SqlQuote(group) + "," +
                   SqlQuote(member) + "," + SqlQuote(joinedAt) + ",'0')",
               "insert of member " + std::to_string(member) + " of group " + std::to_string(group));
}

ExecResult MemberTable::remove(int64_t group, int64_t member) {
  return write("delete from 群成员 where QQ号=" + SqlQuote(member) + " and 群号=" + SqlQuote(group),
               "delete of member " + std::to_string(member) + " of group " + std::to_string(group));
}

MemberTable::Replaced MemberTable::replaceGroup(int64_t group,
                                                const std::vector<GroupMember>& members,
                                                std::stop_token stop) {
  const std::string groupText = std::to_string(group);
  Transaction tx(db_);
  bool ok = tx.ok();
  // The group may have no rows yet: "no row" is fine.
  if (ok) ok = !db_.Execute("delete from 群成员 where 群号=" + SqlQuote(groupText)).failed();
  std::unordered_set<int64_t> seen;
  seen.reserve(members.size());
  for (const GroupMember& m : members) {
    if (!ok) break;
    if (stop.stop_requested()) return Replaced::kStopped;  // rolled back by the transaction
    if (!seen.insert(m.account).second) continue;          // a host listing one account twice
    ok = db_.Execute(InsertMember(groupText, m)).done();
  }
  ok = ok && tx.commit();
  if (!ok) {
    LogWarning("群成员: the member rows of group " + groupText + " were not replaced");
    return Replaced::kFailed;
  }
  return Replaced::kReplaced;
}

}  // namespace bw
