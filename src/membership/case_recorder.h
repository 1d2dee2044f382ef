// CaseRecorder: how the rules write what they did into 处罚记录 — the time from
// the Clock and the robot's own account filled in, so a rule states only the
// act, the rule, the reason and the evidence. A case that cannot be stored is
// logged by the table and never stops the act it records.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "storage/case_table.h"

namespace bw {

class Clock;
class Identity;
class Settings;

// Why the robot acts: carried from the check that fired (or the command that
// ordered it) to the penalty that records the case.
struct CaseContext {
  std::string rule;    // the option's label as the window shows it, or the command
  std::string reason;  // what was found, in plain Chinese
  // The message as the case keeps it (CaseTable::Excerpt): a context may wait
  // in a kick's or a mute's outcome until the host answers, so it never holds
  // a message of megabytes.
  std::string evidence;
  int64_t actor = 0;  // the administrator who ordered it; 0: the robot by its rules
};

class CaseRecorder {
 public:
  CaseRecorder(Clock& clock, const Identity& identity, CaseTable& table);

  // Stores the case with the time and the robot filled in; its id, or 0.
  int64_t record(CaseRecord c);
  // Shorthand for one act of `why` on `member` in `group`.
  int64_t record(std::string_view action, int64_t group, int64_t member, const CaseContext& why,
                 int64_t amount = 0);

  CaseTable& table() { return table_; }
  // The robot's own account (0 before the login is known).
  int64_t robot() const;

  // The label the owner knows an option by, for a case's rule.
  static std::string RuleLabel(std::string_view option);

 private:
  Clock& clock_;
  const Identity& identity_;
  CaseTable& table_;
};

}  // namespace bw
