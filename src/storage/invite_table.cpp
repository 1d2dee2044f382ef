#include "storage/invite_table.h"

#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

InviteTable::Credit InviteTable::credit(int64_t group, int64_t member, int64_t inviter,
                                        const std::string* nickname) {
  const std::string who = std::to_string(inviter);
  Credit result;
  Transaction tx(db_);
  if (!tx.ok()) {
    LogWarning("邀请统计: no transaction for inviter " + who);
    return result;
  }
  int32_t present = 0;
  int32_t total = 0;
  {
    ScopedQuery q(db_, "select 现存个数,邀请个数 from 邀请统计 where QQ号 =" + SqlQuote(inviter));
    if (q.next()) {
      present = q.integer(0);
      total = q.integer(1);
    }
  }
  ++present;
  ++total;
  ExecResult counted;
  if (total == 1) {
    if (nickname == nullptr) {
      result.outcome = Credit::Outcome::kNeedsNickname;
      return result;
    }
    // Every counter named: Access tables have no column defaults.
    counted = db_.Execute("insert into 邀请统计(QQ号,昵称,现存个数,邀请个数,退出个数) values(" +
                          SqlQuote(inviter) + "," + SqlQuote(*nickname) + "," + SqlQuote(present) +
                          "," + SqlQuote(total) + ",'0')");
  } else {
    counted = db_.Execute("update 邀请统计 set 现存个数=" + SqlQuote(present) +
                          ",邀请个数=" + SqlQuote(total) + " where QQ号=" + SqlQuote(inviter));
  }
  const ExecResult recorded =
      counted.failed()
          ? counted
          : db_.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values(" + SqlQuote(member) +
                        "," + SqlQuote(group) + "," + SqlQuote(inviter) + ")");
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
    ScopedQuery q(db_, "select 邀请人QQ from 邀请记录 where QQ号 =" + SqlQuote(member) +
                           " and 群号 = " + SqlQuote(group));
    if (q.next()) inviter = q.text(0);
  }
  if (inviter.empty()) return 0;
  const ExecResult removed = db_.Execute("delete from 邀请记录 where QQ号 =" + SqlQuote(member) +
                                         " and 群号 = " + SqlQuote(group));
  int32_t present = 0;
  int32_t left = 0;
  {
    ScopedQuery q(db_, "select 现存个数,退出个数 from 邀请统计 where QQ号 =" + SqlQuote(inviter));
    if (q.next()) {
      present = q.integer(0);
      left = q.integer(1);
    }
  }
  --present;
  ++left;
  // An inviter without a counts row matches no row here: not an error.
  const ExecResult charged =
      removed.failed()
          ? removed
          : db_.Execute("update 邀请统计 set 现存个数=" + SqlQuote(present) +
                        ",退出个数=" + SqlQuote(left) + "  where QQ号=" + SqlQuote(inviter));
  if (removed.failed() || charged.failed() || !tx.commit()) {
    LogWarning("邀请记录: the departure of " + std::to_string(member) + " from group " +
               std::to_string(group) + " was not charged to " + inviter);
    return std::nullopt;
  }
  return present;
}

InviteCounts InviteTable::counts(int64_t inviter) {
  InviteCounts c;
  ScopedQuery q(db_,
                "select 现存个数,退出个数,邀请个数 from 邀请统计 where QQ号 =" + SqlQuote(inviter));
  if (q.next()) {
    c.present = q.integer(0);
    c.left = q.integer(1);
    c.invited = q.integer(2);
  }
  return c;
}

std::vector<std::string> InviteTable::invitedBy(int64_t inviter) {
  std::vector<std::string> accounts;
  ScopedQuery q(db_, "select QQ号 from 邀请记录 where 邀请人QQ =" + SqlQuote(inviter));
  while (q.next()) accounts.push_back(q.text(0));
  return accounts;
}

bool InviteTable::clear(int64_t inviter) {
  Transaction tx(db_);
  const bool ok =
      tx.ok() && !db_.Execute("delete from 邀请统计 where QQ号=" + SqlQuote(inviter)).failed() &&
      !db_.Execute("delete from 邀请记录 where 邀请人QQ=" + SqlQuote(inviter)).failed() &&
      tx.commit();
  if (!ok)
    LogWarning("邀请统计: the statistics of " + std::to_string(inviter) + " were not cleared");
  return ok;
}

std::vector<InviteStatsRow> InviteTable::statsRows(std::optional<int64_t> filter) {
  const std::string sql = filter ? "select * from 邀请统计 where QQ号=" + SqlQuote(*filter)
                                 : std::string("select * from 邀请统计 ");
  std::vector<InviteStatsRow> rows;
  ScopedQuery q(db_, sql);
  while (q.next()) {
    InviteStatsRow row;
    row.account = q.text("QQ号");
    if (row.account.empty()) break;
    row.nickname = q.text("昵称");
    row.counts.present = q.integer("现存个数");
    row.counts.invited = q.integer("邀请个数");
    row.counts.left = q.integer("退出个数");
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<Invitation> InviteTable::invitationsOf(int64_t member) {
  std::vector<Invitation> out;
  ScopedQuery q(db_, "select * from 邀请记录 where QQ号=" + SqlQuote(member));
  while (q.next()) {
    const std::string inviter = q.text("邀请人QQ");
    const std::string group = q.text("群号");
    if (!IsAccountNumber(inviter) || !IsAccountNumber(group)) continue;
    out.push_back({TextToInt(group), TextToInt(inviter)});
  }
  return out;
}

}  // namespace bw
