#include "storage/invite_table.h"

#include "storage/prepared.h"
#include "storage/service_lock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// QQ号, 群号 and 邀请人QQ are text columns; the counters numbers.
std::string Text(int64_t number) { return std::to_string(number); }

// The inviter's 现存个数, read inside the caller's transaction.
int32_t Present(Database& db, const std::string& inviter) {
  PreparedQuery q(db, "select 现存个数 from 邀请统计 where QQ号=?", {inviter});
  return q.next() ? static_cast<int32_t>(q.integer(0)) : 0;
}

}  // namespace

InviteTable::Credit InviteTable::credit(int64_t group, int64_t member, int64_t inviter,
                                        const std::string* nickname) {
  const std::string who = Text(inviter);
  Credit result;
  Transaction tx(db_);
  if (!tx.ok()) {
    LogWarning("邀请统计: no transaction for inviter " + who);
    return result;
  }
  // The counts go up in the database (other services may credit the same
  // inviter at once); a missing row is made under a lock they share.
  if (!LockAcrossServices(db_, LockSpace::kInviteCount, inviter)) return result;
  ExecResult counted = RunPrepared(
      db_, "update 邀请统计 set 现存个数 = 现存个数 + 1, 邀请个数 = 邀请个数 + 1 where QQ号=?",
      {who});
  if (counted.noRow()) {
    if (nickname == nullptr) {
      result.outcome = Credit::Outcome::kNeedsNickname;
      return result;
    }
    // Every counter named: Access tables have no column defaults.
    counted = RunPrepared(
        db_, "insert into 邀请统计(QQ号,昵称,现存个数,邀请个数,退出个数) values(?,?,1,1,0)",
        {who, *nickname});
  }
  const ExecResult recorded =
      counted.failed() ? counted
                       : RunPrepared(db_, "insert into 邀请记录(QQ号,群号,邀请人QQ) values(?,?,?)",
                                     {Text(member), Text(group), who});
  const int32_t present = counted.failed() ? 0 : Present(db_, who);
  if (counted.failed() || recorded.failed() || !tx.commit()) {
    LogWarning("邀请统计: the invitation of " + std::to_string(member) + " by " + who +
               " into group " + std::to_string(group) + " was not recorded");
    return result;
  }
  result.outcome = Credit::Outcome::kDone;
  result.present = present;
  return result;
}

std::optional<int32_t> InviteTable::chargeDeparture(int64_t group, int64_t member) {
  Transaction tx(db_);
  if (!tx.ok()) {
    LogWarning("邀请记录: no transaction for the departure of " + std::to_string(member));
    return std::nullopt;
  }
  std::string inviter;
  {
    PreparedQuery q(db_, "select 邀请人QQ from 邀请记录 where QQ号=? and 群号=?",
                    {Text(member), Text(group)});
    if (q.next()) inviter = q.text(0);
  }
  if (inviter.empty()) return 0;
  int64_t removedRows = -1;
  const ExecResult removed = RunPrepared(db_, "delete from 邀请记录 where QQ号=? and 群号=?",
                                         {Text(member), Text(group)}, &removedRows);
  // Only the service whose delete took the record charges the inviter: two
  // robots in one group on one database see the same departure.
  if (removed.noRow() || removedRows == 0)
    return tx.commit() ? std::optional<int32_t>(0) : std::nullopt;
  // An inviter without a counts row matches no row here: not an error.
  const ExecResult charged =
      removed.failed()
          ? removed
          : RunPrepared(db_,
                        "update 邀请统计 set 现存个数 = 现存个数 - 1, 退出个数 = 退出个数 + 1 "
                        "where QQ号=?",
                        {inviter});
  const int32_t present = charged.done() ? Present(db_, inviter) : charged.noRow() ? -1 : 0;
  if (removed.failed() || charged.failed() || !tx.commit()) {
    LogWarning("邀请记录: the departure of " + std::to_string(member) + " from group " +
               std::to_string(group) + " was not charged to " + inviter);
    return std::nullopt;
  }
  return present;
}

InviteCounts InviteTable::counts(int64_t inviter) {
  InviteCounts c;
  PreparedQuery q(db_, "select 现存个数,退出个数,邀请个数 from 邀请统计 where QQ号=?",
                  {Text(inviter)});
  if (q.next()) {
    c.present = q.integer(0);
    c.left = q.integer(1);
    c.invited = q.integer(2);
  }
  return c;
}

std::vector<std::string> InviteTable::invitedBy(int64_t inviter) {
  std::vector<std::string> accounts;
  PreparedQuery q(db_, "select QQ号 from 邀请记录 where 邀请人QQ=?", {Text(inviter)});
  while (q.next()) accounts.push_back(q.text(0));
  return accounts;
}

bool InviteTable::clear(int64_t inviter) {
  Transaction tx(db_);
  const bool ok =
      tx.ok() && !RunPrepared(db_, "delete from 邀请统计 where QQ号=?", {Text(inviter)}).failed() &&
      !RunPrepared(db_, "delete from 邀请记录 where 邀请人QQ=?", {Text(inviter)}).failed() &&
      tx.commit();
  if (!ok)
    LogWarning("邀请统计: the statistics of " + std::to_string(inviter) + " were not cleared");
  return ok;
}

std::vector<InviteStatsRow> InviteTable::statsRows(std::optional<int64_t> filter) {
  std::vector<InviteStatsRow> rows;
  const std::string account = filter ? Text(*filter) : std::string();
  PreparedQuery q(
      db_,
      filter ? "select QQ号,昵称,现存个数,邀请个数,退出个数 from 邀请统计 where QQ号=?"
             : "select QQ号,昵称,现存个数,邀请个数,退出个数 from 邀请统计",
      filter ? std::initializer_list<SqlValue>{account} : std::initializer_list<SqlValue>{});
  while (q.next()) {
    InviteStatsRow row;
    row.account = q.text(0);
    if (row.account.empty()) break;
    row.nickname = q.text(1);
    row.counts.present = static_cast<int32_t>(q.integer(2));
    row.counts.invited = static_cast<int32_t>(q.integer(3));
    row.counts.left = static_cast<int32_t>(q.integer(4));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Invitation> InviteTable::invitationsOf(int64_t member) {
  std::vector<Invitation> out;
  PreparedQuery q(db_, "select 邀请人QQ,群号 from 邀请记录 where QQ号=?", {Text(member)});
  while (q.next()) {
    const std::string inviter = q.text(0);
    const std::string group = q.text(1);
    if (!IsAccountNumber(inviter) || !IsAccountNumber(group)) continue;
    out.push_back({TextToInt(group), TextToInt(inviter)});
  }
  return out;
}

}  // namespace bw
