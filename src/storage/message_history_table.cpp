#include "storage/message_history_table.h"

#include <string>

#include "storage/database.h"
#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// Numbers go in as digits (std::to_string cannot carry anything else); the
// text goes through SqlQuote.
std::string Num(int64_t n) { return std::to_string(n); }

std::string OfGroup(int64_t robot, int64_t group) {
  return " where 机器人=" + Num(robot) + " and 群号=" + Num(group);
}

bool Written(const ExecResult& r, const std::string& what) {
  if (!r.failed()) return true;
  LogWarning("message history: " + what + " failed");
  return false;
}

}  // namespace

bool MessageHistoryTable::add(int64_t robot, const KeptMessage& m) {
  const ExecResult r =
      db_.Execute("insert into 消息记录(机器人,时间,群号,QQ号,消息ID,内容) values(" + Num(robot) +
                  "," + Num(m.time) + "," + Num(m.group) + "," + Num(m.member) + "," +
                  Num(m.msgId) + "," + SqlQuote(Excerpt(m.text, kKeptTextBytes)) + ")");
  return Written(r, "keeping a message of group " + Num(m.group));
}

size_t MessageHistoryTable::read(int64_t robot, int64_t group, int64_t from, int64_t to,
                                 size_t limit, const std::function<bool(KeptMessage&&)>& each) {
  // Forward only: the rows are read once, in order.
  ScopedQuery q(db_,
                "select 时间,QQ号,消息ID,内容 from 消息记录" + OfGroup(robot, group) +
                    " and 时间>=" + Num(from) + " and 时间<" + Num(to) + " order by 时间",
                0);
  size_t n = 0;
  while (n < limit && q.next()) {
    KeptMessage m;
    m.time = q.integer64(0);
    m.group = group;
    m.member = q.integer64(1);
    m.msgId = q.integer64(2);
    m.text = q.text(3);
    ++n;
    if (!each(std::move(m))) break;
  }
  return n;
}

int64_t MessageHistoryTable::count(int64_t robot, int64_t group) {
  ScopedQuery q(db_, "select count(*) from 消息记录" + OfGroup(robot, group));
  return q.next() ? q.integer64(0) : 0;
}

std::vector<int64_t> MessageHistoryTable::groups(int64_t robot) {
  std::vector<int64_t> out;
  ScopedQuery q(db_, "select distinct 群号 from 消息记录 where 机器人=" + Num(robot), 0);
  while (q.next()) out.push_back(q.integer64(0));
  return out;
}

bool MessageHistoryTable::removeOlder(int64_t robot, int64_t group, int64_t before) {
  return Written(
      db_.Execute("delete from 消息记录" + OfGroup(robot, group) + " and 时间<" + Num(before)),
      "removing old messages of group " + Num(group));
}

bool MessageHistoryTable::removeGroup(int64_t robot, int64_t group) {
  return Written(db_.Execute("delete from 消息记录" + OfGroup(robot, group)),
                 "removing the messages of group " + Num(group));
}

bool MessageHistoryTable::trimTo(int64_t robot, int64_t group, int64_t keep) {
  const int64_t rows = count(robot, group);
  if (rows <= keep) return true;
  // The time of the last row to go: the dialects share no LIMIT/OFFSET, so
  // the oldest rows are stepped through (only as many as go).
  int64_t last = 0;
  {
    ScopedQuery q(db_, "select 时间 from 消息记录" + OfGroup(robot, group) + " order by 时间", 0);
    for (int64_t i = 0; i < rows - keep; ++i) {
      if (!q.next()) return false;
      last = q.integer64(0);
    }
  }
  return Written(
      db_.Execute("delete from 消息记录" + OfGroup(robot, group) + " and 时间<=" + Num(last)),
      "trimming the messages of group " + Num(group));
}

}  // namespace bw
