// MemberTable: the one owner of the table 群成员, the robot's copy of each
// managed group's member list. It states what the rules may do with the table
// and holds the statement texts; nothing else writes SQL for it.
//
// Reads answer as if the table were empty when the query fails (a screening
// test then lets the applicant pass). Writes return the ExecResult, and a
// failed one is also logged here, so that no caller can lose it silently.
//
// Thread-safety: all members may be called from any thread (the Database
// serialises them); replaceGroup holds the connection for its whole run.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "host/host_api.h"
#include "storage/database.h"

namespace bw {

class MemberTable {
 public:
  explicit MemberTable(Database& db) : db_(db) {}

  // Whether the member has a row for this group (a join already handled).
  bool contains(int64_t group, int64_t member);
  // Whether the account has a row in any group.
  bool inAnyGroup(int64_t member);
  // Rows of one group.
  int64_t countInGroup(int64_t group);
  // The groups where the account has a row, in the table's order.
  std::vector<int64_t> groupsOf(int64_t member);
  // Every account that owns or administers some group (权限 3 or 2), once.
  std::vector<std::string> staffAccounts();
  // Whether the member owns or administers this group.
  bool isStaff(int64_t group, int64_t member);

  // The order in which member-count control looks at a group's members.
  enum class Order { kEarliestJoined, kLatestJoined, kOldestLastSpoke };
  // The group's accounts in that order; only those who never spoke when
  // `neverSpokeOnly` (kOldestLastSpoke then reads as kEarliestJoined).
  std::vector<int64_t> accountsInOrder(int64_t group, Order order, bool neverSpokeOnly);

  // When the member joined the group (Unix seconds, 加群时间), if the table
  // has a row with a time.
  std::optional<int64_t> joinTime(int64_t group, int64_t member);

  // A member who just joined: group, account and join time only.
  ExecResult addArrival(int64_t group, int64_t member, const std::string& joinedAt);
  // The member's row of this group ("no row" when there was none).
  ExecResult remove(int64_t group, int64_t member);

  enum class Replaced { kReplaced, kStopped, kFailed };
  // Replaces the group's rows with `members` in one transaction: readers
  // never see a half-filled group, and a failure or a stop keeps the old rows.
  // An account the host lists twice is stored once. Checked for a stop between
  // statements.
  Replaced replaceGroup(int64_t group, const std::vector<GroupMember>& members,
                        std::stop_token stop);

 private:
  int64_t countRows(const std::string& sql);
  ExecResult write(const std::string& sql, const std::string& what);

  Database& db_;
};

}  // namespace bw
