// MessageHistory: keeps the messages of the groups whose owner opted in, so
// that rules can be tried on them before they act (the panel's 试一试历史).
//
// Which groups and for how long is one option (opt::kHistoryGroups, read live):
// "101:7+102:30" keeps group 101's messages 7 days and 102's 30 days; a
// group not named keeps nothing, and what it kept goes at the next pass.
// A pass deletes what is older than its group's days and holds every group
// to at most `maxPerGroup` rows (the oldest go first). Passes run on a timer
// on the Clock (hourly) and, so that replay and busy groups need no thread,
// whenever a message is kept an hour or more after the last pass.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "events/records.h"
#include "util/clock.h"

namespace bw {

class Settings;
class Identity;
class MessageHistoryTable;

inline constexpr int64_t kHistoryMaxDays = 30;
inline constexpr int64_t kHistoryMaxPerGroup = 200000;
inline constexpr Millis kHistoryPassInterval = std::chrono::hours(1);

// The option's text as group → days. Entries that do not read as
// "group:days" with days 1..kHistoryMaxDays are left out and named in `bad`.
std::map<int64_t, int64_t> ParseHistoryGroups(std::string_view text,
                                              std::vector<std::string>* bad = nullptr);
// The option's text for `groups` (days 0 leave a group out).
std::string HistoryGroupsText(const std::map<int64_t, int64_t>& groups);

class MessageHistory {
 public:
  MessageHistory(Clock& clock, Settings& settings, const Identity& identity,
                 MessageHistoryTable& table, int64_t maxPerGroup = kHistoryMaxPerGroup);
  ~MessageHistory();  // stopRetention()
  MessageHistory(const MessageHistory&) = delete;
  MessageHistory& operator=(const MessageHistory&) = delete;

  // Keeps the message when its group is opted in (not the robot's own).
  void record(const GroupMessageRecord& r);
  // The days a group's messages are kept (0: not kept).
  int64_t daysFor(int64_t group) const;
  // One retention pass now.
  void prune();

  // The hourly timer: a thread that sleeps on the clock and runs a pass
  // after each hour. Idempotent; stopRetention() ends it promptly.
  void startRetention();
  void stopRetention();

 private:
  std::map<int64_t, int64_t> groups() const;
  int64_t robot() const;
  void pruneLocked(int64_t robot);

  Clock& clock_;
  Settings& settings_;
  const Identity& identity_;
  MessageHistoryTable& table_;
  const int64_t maxPerGroup_;

  mutable std::mutex optionMu_;  // the parsed option, re-read when its text changes
  mutable std::string optionText_;
  mutable std::map<int64_t, int64_t> optionGroups_;

  std::mutex mu_;                      // one writer of the table at a time: counts and passes agree
  std::map<int64_t, int64_t> counts_;  // rows per group, once read
  SystemTime lastPass_{};

  std::mutex threadMu_;
  std::jthread timer_;
};

}  // namespace bw
