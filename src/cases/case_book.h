// CaseBook: what an administrator does with the recorded cases — list them
// (newest first, filtered, one keyset page at a time), export them as CSV, and
// undo one where that is possible: a mute is lifted (a mute of 0 seconds), a
// blacklisting is taken back, warning points are taken back (a row of as many
// negative points at the time of the giving, so both fade together). An undo is a case of its own
// pointing at the case it undid, which is marked undone; an undo that cannot be done (a kick, a
// message already sent, a mute while no account is connected) is refused with the reason in plain
// Chinese. An undo made in the panel records the robot's own account as its actor: the panel has
// one login for the whole service and acts through the robot.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "storage/case_table.h"

namespace bw {

class HostApi;
class OutcomeGate;
class AccountLists;
class CaseRecorder;
class WarningPointTable;

struct UndoResult {
  enum class State { kDone, kPending, kRefused, kFailed };
  State state = State::kRefused;
  int64_t undoCase = 0;  // the undo's own case, once done
  std::string message;   // for the administrator, in plain Chinese
};

class CaseBook {
 public:
  CaseBook(HostApi& host, AccountLists& lists, CaseRecorder& recorder, WarningPointTable& points);
  ~CaseBook();
  CaseBook(const CaseBook&) = delete;
  CaseBook& operator=(const CaseBook&) = delete;

  CasePage page(const CaseFilter& filter, const CaseCursor& after, int limit);

  // Undoes the case `id` on behalf of `actor` (0: the owner in the panel,
  // recorded as the robot's own account). A mute is lifted through the host,
  // so it is refused with nothing changed unless `linked` (the account is
  // connected: a call made now reaches QQ); when the host answers later
  // (OneBot), the result is kPending and the undo case is written once it
  // says done (a refusal takes the undone mark back and writes the log).
  UndoResult undo(int64_t id, int64_t actor, bool linked = true);

  // Why `c` cannot be undone, or "" when it can; `linked` as for undo().
  static std::string WhyNotUndoable(const CaseRecord& c, bool linked = true);
  // Who acted, as the list and the CSV show it: 机器人 (its rules), 面板
  // (the owner in the panel), or the administrator's QQ.
  static std::string ActorText(const CaseRecord& c);
  // An undo of `id` was asked of the host and it has not answered yet.
  bool undoPending(int64_t id) const;

  // The cases matching `filter`, newest first, at most `maxRows`, as CSV:
  // UTF-8 with a byte-order mark (spreadsheets then read Chinese correctly),
  // CR LF line ends, fields quoted where CSV needs it, and a cell that a
  // spreadsheet would run as a formula ("=…", "+…", "-…", "@…") led by an
  // apostrophe. `truncated` tells whether more cases matched.
  std::string csv(const CaseFilter& filter, size_t maxRows, bool* truncated = nullptr);

  // One CSV field as csv() writes it.
  static std::string CsvField(std::string_view text);

 private:
  HostApi& host_;
  AccountLists& lists_;
  CaseRecorder& recorder_;
  WarningPointTable& points_;
  // Drops a late host outcome once the book is gone.
  std::shared_ptr<OutcomeGate> gate_;
  mutable std::mutex pendingMu_;
  std::set<int64_t> pending_;  // cases whose mute lifting awaits the host's answer
};

}  // namespace bw
