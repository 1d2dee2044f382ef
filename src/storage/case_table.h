// CaseTable: the owner of 处罚记录, one row for every action the robot took
// (or, for a watch-only rule, would have taken) and every undo of one. Nothing
// else reads or writes that table.
//
// Ids are allocated as the largest stored id + 1 inside the insert's
// transaction; the primary key refuses a second row with the same id, so two
// services sharing one PostgreSQL database never store the same id twice (the
// loser tries again with the next one).
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "storage/schema.h"

namespace bw {

class Database;

// What a case did; the texts are what the panel and the CSV show.
inline constexpr std::string_view kCaseRecall = "撤回";
inline constexpr std::string_view kCaseWarn = "警告";
inline constexpr std::string_view kCasePoints = "警告点";
inline constexpr std::string_view kCaseMute = "禁言";
inline constexpr std::string_view kCaseKick = "踢出";
inline constexpr std::string_view kCaseKickBlacklist = "踢出并拉黑";
inline constexpr std::string_view kCaseBlacklist = "拉黑";
inline constexpr std::string_view kCaseReport = "报告";
inline constexpr std::string_view kCaseUnmute = "解除禁言";
inline constexpr std::string_view kCaseUnblacklist = "移出黑名单";
inline constexpr std::string_view kCaseRemovePoints = "撤销警告点";
inline constexpr std::string_view kCaseVerifyPass = "验证通过";
inline constexpr std::string_view kCaseVerifyKick = "验证未通过踢出";

// The most add() keeps of a case's evidence, and of its rule and reason.
inline constexpr size_t kCaseEvidenceBytes = 1024;
inline constexpr size_t kCaseRuleBytes = 200;
inline constexpr size_t kCaseReasonBytes = 1024;

struct CaseRecord {
  int64_t id = 0;     // assigned by add()
  int64_t time = 0;   // Unix seconds, from the Clock
  int64_t robot = 0;  // the robot account that acted (several may share one PostgreSQL database)
  int64_t group = 0;
  int64_t member = 0;
  std::string action;  // one of the kCase… texts
  std::string rule;    // automod rule name, the option's window label, or the command
  std::string reason;
  std::string
      evidence;  // excerpt of the message; add() keeps at most 1 KiB (head and tail, UTF-8 safe)
  int64_t actor = 0;       // 0: the robot by its rules; else the administrator's QQ
  int64_t amount = 0;      // mute seconds, warning points added
  bool wouldHave = false;  // a watch-only rule's verdict: nothing was done
  bool undone = false;
  int64_t undoes = 0;  // an undo case: the id of the case it undid
};

// Which cases a listing shows; a field left at 0 or empty does not filter.
struct CaseFilter {
  int64_t robot = 0;
  int64_t group = 0;
  int64_t member = 0;
  std::string rule;    // exact
  std::string action;  // exact, one of the kCase… texts
  int64_t from = 0;    // time >= from
  int64_t to = 0;      // time <= to
};

// Where a page starts: after the case (time, id) in newest-first order. The
// default starts at the newest case.
struct CaseCursor {
  int64_t time = 0;
  int64_t id = 0;
  bool atStart() const { return id == 0; }
};

struct CasePage {
  std::vector<CaseRecord> cases;   // newest first
  std::optional<CaseCursor> next;  // the following page's cursor; none on the last page
};

class CaseTable {  // thread-safe
 public:
  explicit CaseTable(Database& db);

  // Stores the case; its id, or 0 when it could not be stored (logged).
  int64_t add(CaseRecord c);

  // One page of cases matching `filter`, newest first (by time, then id),
  // at most `limit` (1..1000) of them, starting after `after`. Keyset paging:
  // each page costs the same however deep it is.
  CasePage page(const CaseFilter& filter, const CaseCursor& after, int limit);
  // The case with that id.
  std::optional<CaseRecord> get(int64_t id);
  // Marks the case undone; true only for the call that changed it (false:
  // no such case, undone already, or writing failed).
  bool markUndone(int64_t id);
  // Takes the mark back (an undo whose host call failed); true when it changed.
  bool clearUndone(int64_t id);

  // The evidence as add() keeps it: at most kCaseEvidenceBytes, the head and
  // the tail joined by " … ", never cutting a UTF-8 character.
  static std::string Excerpt(std::string_view text, size_t maxBytes = kCaseEvidenceBytes);

 private:
  Database& db_;
};

// The CREATE TABLE / CREATE INDEX statements of 处罚记录 (created by
// CreateSchema with the other tables).
std::vector<std::string> CaseTableSchema(SqlDialect dialect);
inline constexpr const char* kCaseTableName = "处罚记录";

}  // namespace bw
