// Violations: the checks a group message of an ordinary member goes through
// (voice, oversized image, image count, banned words — in that order) and the
// penalty routine (counted warnings, announcement, kick or mute, blacklist,
// kick everywhere, kick the inviters).
//
// The banned-word list is rebuilt from 编辑框_踢人关键词 whenever it changes and
// searched with one multi-pattern pass that still reports the first word in
// list order. The image count runs across messages: consecutive images of one
// sender in one group add up until another member speaks there or a check
// fires for the sender.
//
// The robot's own account and account 0 are never warned, muted or kicked.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "events/records.h"

namespace bw {

class Clock;
class HostApi;
class Settings;
class RunLog;
class Identity;
class WarningTable;
class Departures;
class AccountLists;
class ImageInfo;
class CaseRecorder;
struct CaseContext;

enum class PenaltyMode { kNormal, kKick };

class Violations {
 public:
  Violations(Clock& clock, HostApi& host, Settings& settings, RunLog& runLog,
             const Identity& identity, WarningTable& warnings, Departures& departures,
             AccountLists& lists, ImageInfo& images, CaseRecorder& cases);
  ~Violations();
  Violations(const Violations&) = delete;
  Violations& operator=(const Violations&) = delete;

  // True when a check fired; each fired check writes its run-log entry, and
  // `why` (when given) says which check and what it found, for the case.
  // Also counts the message as the sender's turn in the group (see noteSpeaker).
  bool check(const GroupMessageRecord& record, CaseContext* why = nullptr);
  // Tells the image-count check that `sender` spoke in `group` without being
  // checked (administrators, white-listed members, detection off): another
  // member's turn ends the running image count of the previous sender.
  void noteSpeaker(int64_t group, int64_t sender);
  // Penalises `offender` in `group`. An untouchable offender (the robot, 0) or
  // a group number that is no group is refused with a log line. Every act
  // done (warning, mute, kick, blacklisting) becomes a case carrying `why`.
  void punish(int64_t group, int64_t offender, PenaltyMode mode, const CaseContext& why);
  void punish(int64_t group, int64_t offender, PenaltyMode mode);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw
