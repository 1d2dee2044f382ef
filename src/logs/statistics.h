// DailyStatistics: the statistics page ("进群统计"). It turns the group log's day
// files into two views of the statistics list (lists.statistics): the day's
// single join and leave events with a summary text, or one summary row per
// ticked group of the group list. Nothing is stored; every view is computed
// from the day file when asked.
//
// The two views have different columns: headings() names the cells of the
// current view's rows. Rows carry their drawing colours (0xBBGGRR).
//
// Thread-safety: all members may be called from any thread; views are built
// one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

class Clock;
class Settings;
class GroupLog;
struct ListViews;

// The combo item that stands for the current date.
inline constexpr std::string_view kStatisticsToday = "今天";

// Drawing colours of the statistics rows.
inline constexpr uint32_t kColourJoinText = 0x8000;       // green
inline constexpr uint32_t kColourRemovalText = 0xAA00AA;  // purple
inline constexpr uint32_t kColourRemovalBack = 0xECECEC;  // light grey
inline constexpr uint32_t kColourNegativeText = 255;      // red
inline constexpr uint32_t kColourWhite = 0xFFFFFF;

struct DayCounts {
  int64_t joins = 0;
  int64_t leaves = 0;    // "退群" with operator "0"
  int64_t removals = 0;  // "退群" with an operator account
  int64_t net() const { return joins - leaves - removals; }
};

class DailyStatistics {
 public:
  DailyStatistics(const Clock& clock, Settings& settings, ListViews& lists,
                  const GroupLog& groupLog);

  // Refills the day choices: "今天" first, then every other day file, newest
  // first; selects "今天" (the combo control opt::kStatisticsDate).
  void RefreshStatisticsDays();
  std::vector<std::string> days() const;

  // The events of the chosen day, coloured, and the summary text.
  void ShowDayEvents();
  // One row per ticked group: 群号, 群名称, 进群, 退群, 踢出, 总进群.
  void ShowGroupSummary();
  // A click on a column heading: sorts by that column as integers, ascending,
  // or reversed when the same column was clicked last.
  void sortByColumn(size_t column);

  std::vector<std::string> headings() const;
  // The summary label of the day view ("" before the first one).
  std::string summaryText() const;
  DayCounts dayCounts() const;

  // The summary text for counts.
  static std::string SummaryText(const DayCounts& counts);

 private:
  // The day file for the combo's text; nullopt when the text names no day.
  std::optional<std::string> chosenDayFile() const;
  std::string today() const;

  const Clock& clock_;
  Settings& settings_;
  ListViews& lists_;
  const GroupLog& groupLog_;

  mutable std::mutex mu_;
  std::vector<std::string> days_;
  std::vector<std::string> headings_;
  std::string summary_;
  DayCounts counts_;
  std::optional<size_t> sortColumn_;
  bool sortDescending_ = false;
};

// Counts for one group in a whole day's log text, with the three patterns of
// the summary view run through RegexMatcher. A group text that is no number
// counts nothing.
DayCounts CountGroupEvents(const std::string& dayText, const std::string& group);

}  // namespace bw
