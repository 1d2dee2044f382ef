#include "storage/message_history_table.h"

#include <string>

#include "storage/database.h"
#include "storage/prepared.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// A read holds the connection while its rows are fetched: it takes them in
// chunks of about this many, so the robot's own statements wait only that long.
constexpr size_t kReadChunk = 2000;

bool Written(const ExecResult& r, const std::string& what) {
  if (!r.failed()) return true;
  LogWarning("message history: " + what + " failed");
  return false;
}

}  // namespace

bool MessageHistoryTable::add(int64_t robot, const KeptMessage& m) {
  const std::string text = Excerpt(m.text, kKeptTextBytes);
  return Written(RunPrepared(db_,
                             "insert into 消息记录(机器人,时间,群号,QQ号,消息ID,内容) "
                             "values(?,?,?,?,?,?)",
                             {robot, m.time, m.group, m.member, m.msgId, text}),
                 "keeping a message of group " + std::to_string(m.group));
}

size_t MessageHistoryTable::read(int64_t robot, int64_t group, int64_t from, int64_t to,
                                 size_t limit, const std::function<bool(KeptMessage&&)>& each) {
  size_t handed = 0;
  std::vector<KeptMessage> chunk;
  while (handed < limit && from < to) {
    chunk.clear();
    bool more = false;
    {
      PreparedQuery q(db_,
                      "select 时间,QQ号,消息ID,内容 from 消息记录 where 机器人=? and 群号=? and "
                      "时间>=? and 时间<? order by 时间",
                      {robot, group, from, to});
      while (q.next()) {
        const int64_t time = q.integer(0);
        // A chunk ends between two seconds, so the next one starts at the
        // first row it has not handed over.
        if (chunk.size() >= kReadChunk && time != chunk.back().time) {
          from = time;
          more = true;
          break;
        }
        chunk.push_back(KeptMessage{time, group, q.integer(1), q.integer(2), q.text(3)});
      }
    }
    for (KeptMessage& m : chunk) {
      if (handed == limit) return handed;
      ++handed;
      if (!each(std::move(m))) return handed;
    }
    if (!more) break;
  }
  return handed;
}

int64_t MessageHistoryTable::count(int64_t robot, int64_t group) {
  PreparedQuery q(db_, "select count(*) from 消息记录 where 机器人=? and 群号=?", {robot, group});
  return q.next() ? q.integer(0) : 0;
}

std::vector<int64_t> MessageHistoryTable::groups(int64_t robot) {
  std::vector<int64_t> out;
  PreparedQuery q(db_, "select distinct 群号 from 消息记录 where 机器人=?", {robot});
  while (q.next()) out.push_back(q.integer(0));
  return out;
}

bool MessageHistoryTable::removeOlder(int64_t robot, int64_t group, int64_t before) {
  return Written(RunPrepared(db_, "delete from 消息记录 where 机器人=? and 群号=? and 时间<?",
                             {robot, group, before}),
                 "removing old messages of group " + std::to_string(group));
}

bool MessageHistoryTable::removeGroup(int64_t robot, int64_t group) {
  return Written(RunPrepared(db_, "delete from 消息记录 where 机器人=? and 群号=?", {robot, group}),
                 "removing the messages of group " + std::to_string(group));
}

bool MessageHistoryTable::trimTo(int64_t robot, int64_t group, int64_t keep) {
  const int64_t rows = count(robot, group);
  if (rows <= keep) return true;
  // The time of the last row to go: the dialects share no LIMIT/OFFSET, so
  // the oldest rows are stepped through (only as many as go).
  int64_t last = 0;
  {
    PreparedQuery q(db_, "select 时间 from 消息记录 where 机器人=? and 群号=? order by 时间",
                    {robot, group});
    for (int64_t i = 0; i < rows - keep; ++i) {
      if (!q.next()) return false;
      last = q.integer(0);
    }
  }
  return Written(RunPrepared(db_, "delete from 消息记录 where 机器人=? and 群号=? and 时间<=?",
                             {robot, group, last}),
                 "trimming the messages of group " + std::to_string(group));
}

}  // namespace bw
