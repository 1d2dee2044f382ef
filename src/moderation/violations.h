// Violations: the checks a group message of an ordinary member goes through
// (voice, oversized image, image count, banned words — in that order) and the
// penalty routine (counted warnings, announcement, kick or mute, blacklist,
// kick everywhere, kick the inviters).
//
// The banned-word list is rebuilt from 编辑框_踢人关键词 whenever it changes and
// searched with one multi-pattern pass that still reports the first word in
// list order.
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
  bool check(const GroupMessageRecord& record);
  void punish(const std::string& offender, const std::string& group, PenaltyMode mode);

  // The new warning count of the account (警告记录).
  int32_t newWarningCount(const std::string& qq);
  // Fills "[昵称]" and "[时间]".
  std::string fillTemplate(const std::string& text, const std::string& offender) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw
