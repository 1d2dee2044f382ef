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
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "events/records.h"

namespace bw {

struct Robot;
class Departures;
class AccountLists;
class ImageInfo;

enum class PenaltyMode { kNormal, kKick };

class Violations {
 public:
  Violations(Robot& robot, Departures& departures, AccountLists& lists, ImageInfo& images);
  ~Violations();

  // True when a check fired; each fired check writes its run-log entry.
  // Also counts the message as the sender's turn in the group (see noteSpeaker).
  bool check(const GroupMessageRecord& record);
  // Tells the image-count check that `sender` spoke in `group` without being
  // checked (administrators, white-listed members, detection off): another
  // member's turn ends the running image count of the previous sender.
  void noteSpeaker(int64_t group, int64_t sender);
  // Offender and group are decimal account and group numbers; an offender that
  // is no account number (an empty command target, "all") is refused with a
  // log line.
  void punish(const std::string& offender, const std::string& group, PenaltyMode mode);

  // Counts one more warning of the account in 警告记录 and returns the new count
  // (read-modify-write under the database's exclusive hold).
  int32_t newWarningCount(const std::string& qq);
  // Fills "[昵称]" and "[时间]".
  std::string fillTemplate(const std::string& text, const std::string& offender) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw
