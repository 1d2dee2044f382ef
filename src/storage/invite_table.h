// InviteTable: the one owner of the tables 邀请记录 (who invited whom into which
// group) and 邀请统计 (each inviter's counts). It states the operations the
// invite rules need and holds their statement texts.
//
// An inviter's counts go up and down in the database in one statement, each
// operation in one Transaction (a missing counts row is made under a lock
// shared with other services on PostgreSQL): workers and other services
// crediting the same inviter never lose an increment, and a failed statement
// leaves counts and records as they were (logged here; the caller gets no
// value). A departure is charged only by the service whose delete removed the
// record, so two robots in one group charge it once.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/database.h"

namespace bw {

struct InviteCounts {
  int32_t present = 0;  // 现存个数
  int32_t invited = 0;  // 邀请个数
  int32_t left = 0;     // 退出个数
};

struct InviteStatsRow {
  std::string account;
  std::string nickname;
  InviteCounts counts;
};

struct Invitation {
  int64_t group = 0;
  int64_t inviter = 0;
};

class InviteTable {
 public:
  explicit InviteTable(Database& db) : db_(db) {}

  // One invitation: the inviter's counts go up by one (a first invitation
  // creates the row with `nickname`) and a record names the inviter.
  struct Credit {
    enum class Outcome { kDone, kNeedsNickname, kFailed } outcome = Outcome::kFailed;
    int32_t present = 0;  // the inviter's new 现存个数 when done
  };
  // A first invitation without a nickname (null) writes nothing and answers
  // kNeedsNickname: the caller fetches it without holding the database and
  // calls again.
  Credit credit(int64_t group, int64_t member, int64_t inviter, const std::string* nickname);

  // A departure: the member's records of this group go and their inviter is
  // charged. The inviter's new 现存个数; 0 when there was no record; nothing on
  // failure.
  std::optional<int32_t> chargeDeparture(int64_t group, int64_t member);

  // An inviter's counts (all 0 without a row).
  InviteCounts counts(int64_t inviter);
  // The accounts the inviter brought in, in the table's order.
  std::vector<std::string> invitedBy(int64_t inviter);
  // Removes the inviter's counts and records; false when a delete failed.
  bool clear(int64_t inviter);
  // Rows of 邀请统计: every inviter, or only `filter`; stops at an empty account.
  std::vector<InviteStatsRow> statsRows(std::optional<int64_t> filter);
  // Who invited `member`, per group (records naming no account are skipped).
  std::vector<Invitation> invitationsOf(int64_t member);

 private:
  Database& db_;
};

}  // namespace bw
