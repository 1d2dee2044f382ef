#include "storage/member_table.h"

#include <unordered_set>
#include <vector>

#include "storage/prepared.h"
#include "storage/service_lock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// 群号, QQ号, 性别, 权限 and 不良记录 are text columns (PostgreSQL compares text
// with text only); the times are numbers.
std::string Text(int64_t number) { return std::to_string(number); }

constexpr size_t kColumns = 9;

// The insert of `rows` members in one statement. The SQLite3 driver parses a
// statement again on every run unless it reads as a query (it begins with
// SELECT or WITH, measured: a third of the time per row), and parsing grows
// with the text: so the rows come as a WITH of many rows there. PostgreSQL
// takes many rows in a plain insert, Access one.
std::string InsertMembers(size_t rows, bool withRows) {
  std::string sql =
      withRows
          ? "with 新(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) as (values"
          : "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values";
  for (size_t i = 0; i < rows; ++i) sql += i ? ",(?,?,?,?,?,?,?,?,?)" : "(?,?,?,?,?,?,?,?,?)";
  if (withRows) {
    sql +=
        ") insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) "
        "select 群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录 from 新";
  }
  return sql;
}

constexpr size_t kBatches[] = {64, 8, 1};

}  // namespace

int64_t MemberTable::countRows(std::string_view sql, std::initializer_list<SqlValue> values) {
  PreparedQuery q(db_, sql, values);
  return q.next() ? q.integer(0) : 0;
}

ExecResult MemberTable::write(std::string_view sql, std::initializer_list<SqlValue> values,
                              const std::string& what) {
  const ExecResult result = RunPrepared(db_, sql, values);
  if (result.failed()) LogWarning("群成员: " + what + " failed");
  return result;
}

bool MemberTable::contains(int64_t group, int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号=? and 群号=?",
                   {Text(member), Text(group)}) > 0;
}

bool MemberTable::inAnyGroup(int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号=?", {Text(member)}) > 0;
}

int64_t MemberTable::countInGroup(int64_t group) {
  return countRows("select count(1) from 群成员 where 群号=?", {Text(group)});
}

std::vector<int64_t> MemberTable::groupsOf(int64_t member) {
  std::vector<int64_t> groups;
  PreparedQuery q(db_, "select 群号 from 群成员 where QQ号=?", {Text(member)});
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
  PreparedQuery q(db_, "select distinct QQ号 from 群成员 where 权限='3' or 权限='2'");
  while (q.next()) accounts.push_back(q.text(0));
  return accounts;
}

bool MemberTable::isStaff(int64_t group, int64_t member) {
  return countRows("select count(1) from 群成员 where QQ号=? and 群号=? and (权限='3' or 权限='2')",
                   {Text(member), Text(group)}) > 0;
}

std::vector<int64_t> MemberTable::accountsInOrder(int64_t group, Order order, bool neverSpokeOnly) {
  // One of four fixed texts.
  const char* sql = "select QQ号 from 群成员 where 群号=? ORDER BY 加群时间 asc";
  if (neverSpokeOnly) {
    sql = order == Order::kLatestJoined
              ? "select QQ号 from 群成员 where 最后发言=0 and 群号=? ORDER BY 加群时间 DESC"
              : "select QQ号 from 群成员 where 最后发言=0 and 群号=? ORDER BY 加群时间 asc";
  } else if (order == Order::kLatestJoined) {
    sql = "select QQ号 from 群成员 where 群号=? ORDER BY 加群时间 DESC";
  } else if (order == Order::kOldestLastSpoke) {
    sql = "select QQ号 from 群成员 where 群号=? ORDER BY 最后发言 asc";
  }
  std::vector<int64_t> accounts;
  PreparedQuery q(db_, sql, {Text(group)});
  while (q.next()) {
    const std::string account = q.text(0);
    if (IsAccountNumber(account)) accounts.push_back(TextToInt(account));
  }
  return accounts;
}

std::optional<int64_t> MemberTable::joinTime(int64_t group, int64_t member) {
  PreparedQuery q(db_, "select 加群时间 from 群成员 where QQ号=? and 群号=?",
                  {Text(member), Text(group)});
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
  // The join time arrives as text; a number column takes it as a number.
  return write("insert into 群成员(群号,QQ号,加群时间,最后发言) values(?,?,?,0)",
               {Text(group), Text(member), TextToInt(joinedAt)},
               "insert of member " + std::to_string(member) + " of group " + std::to_string(group));
}

ExecResult MemberTable::remove(int64_t group, int64_t member) {
  return write("delete from 群成员 where QQ号=? and 群号=?", {Text(member), Text(group)},
               "delete of member " + std::to_string(member) + " of group " + std::to_string(group));
}

MemberTable::Replaced MemberTable::replaceGroup(int64_t group,
                                                const std::vector<GroupMember>& members,
                                                std::stop_token stop) {
  const std::string groupText = std::to_string(group);
  Transaction tx(db_);
  bool ok = tx.ok();
  // Another robot in the group may replace its rows at the same moment: its
  // delete would not see our new rows and both copies would stay. Taken in
  // turn, the second delete finds the first one's rows.
  if (ok) ok = LockAcrossServices(db_, LockSpace::kGroupMembers, group);
  // The group may have no rows yet: "no row" is fine.
  if (ok) ok = !RunPrepared(db_, "delete from 群成员 where 群号=?", {groupText}).failed();
  std::unordered_set<int64_t> seen;
  seen.reserve(members.size());
  std::vector<const GroupMember*> unique;
  unique.reserve(members.size());
  for (const GroupMember& m : members) {
    if (seen.insert(m.account).second) unique.push_back(&m);  // a host may list one twice
  }
  const std::string dbms = db_.DbmsName();
  const bool sqlite = dbms == "SQLite";
  const bool manyRows = sqlite || dbms == "PostgreSQL";
  static const std::string kInserts[2][3] = {
      {InsertMembers(kBatches[0], false), InsertMembers(kBatches[1], false),
       InsertMembers(kBatches[2], false)},
      {InsertMembers(kBatches[0], true), InsertMembers(kBatches[1], true),
       InsertMembers(kBatches[2], true)}};
  // The texts of a batch's number columns, kept while its values point at them.
  std::vector<std::string> numbers;
  std::vector<SqlValue> values;
  size_t next = 0;
  while (ok && next < unique.size()) {
    if (stop.stop_requested()) return Replaced::kStopped;  // rolled back by the transaction
    size_t kind = 0;
    while (kBatches[kind] > unique.size() - next || (!manyRows && kBatches[kind] > 1)) ++kind;
    const size_t rows = kBatches[kind];
    numbers.clear();
    numbers.reserve(rows * 3);
    values.clear();
    values.reserve(rows * kColumns);
    for (size_t i = next; i < next + rows; ++i) {
      const GroupMember& m = *unique[i];
      numbers.push_back(std::to_string(m.account));
      numbers.push_back(std::to_string(m.sex));
      numbers.push_back(std::to_string(m.permission));
      const std::string* n = &numbers[numbers.size() - 3];
      values.insert(values.end(),
                    {SqlValue(groupText), SqlValue(n[0]), SqlValue(m.nickname), SqlValue(m.card),
                     SqlValue(n[1]), SqlValue(m.joinTime), SqlValue(m.lastSpeakTime),
                     SqlValue(n[2]), SqlValue(m.unfriendly ? "1" : "0")});
    }
    ok = RunPrepared(db_, kInserts[sqlite][kind], values).done();
    next += rows;
  }
  ok = ok && tx.commit();
  if (!ok) {
    LogWarning("群成员: the member rows of group " + groupText + " were not replaced");
    return Replaced::kFailed;
  }
  return Replaced::kReplaced;
}

}  // namespace bw
