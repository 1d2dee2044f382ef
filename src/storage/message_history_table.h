// MessageHistoryTable: the one owner of 消息记录, the group messages kept for
// trying rules on them (opt-in per group, see moderation/message_history.h).
// Every row names the robot account that kept it, so several services sharing
// one PostgreSQL database each see and prune only their own rows.
//
// Reads answer as if the table were empty when the query fails; writes that
// fail are logged here and reported to the caller.
//
// Thread-safety: all members may be called from any thread (the Database
// serialises them).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace bw {

class Database;

struct KeptMessage {
  int64_t time = 0;  // Unix seconds, from the Clock when it was received
  int64_t group = 0;
  int64_t member = 0;
  int64_t msgId = 0;
  std::string text;  // UTF-8, CQ codes included, at most kKeptTextBytes
};

// A kept text is an excerpt (head and tail) of at most this many bytes: enough
// for every rule to judge an ordinary message, bounded against huge ones.
inline constexpr size_t kKeptTextBytes = 2000;

class MessageHistoryTable {
 public:
  MessageHistoryTable(Database& db) : db_(db) {}

  // Stores one message of `robot` (its text cut to kKeptTextBytes). False
  // (logged) when it could not be stored.
  bool add(int64_t robot, const KeptMessage& m);

  // The messages of one group with from <= time < to, oldest first, handed to
  // `each` (which returns false to stop early), at most `limit` of them.
  // Returns how many were handed over. `each` runs with the connection free:
  // the rows come in chunks, so a long read never holds the robot up.
  size_t read(int64_t robot, int64_t group, int64_t from, int64_t to, size_t limit,
              const std::function<bool(KeptMessage&&)>& each);

  // Rows of one group (0 when the count cannot be read).
  int64_t count(int64_t robot, int64_t group);
  // The groups that have rows.
  std::vector<int64_t> groups(int64_t robot);

  // Removes the group's rows older than `before` (Unix seconds); false on a
  // failure (logged).
  bool removeOlder(int64_t robot, int64_t group, int64_t before);
  // Removes every row of the group.
  bool removeGroup(int64_t robot, int64_t group);
  // Removes the group's oldest rows so that at most `keep` remain; rows of the
  // same second as the last one removed go too. False on a failure.
  bool trimTo(int64_t robot, int64_t group, int64_t keep);

 private:
  Database& db_;
};

}  // namespace bw
