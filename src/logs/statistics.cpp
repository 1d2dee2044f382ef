#include "logs/statistics.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <tuple>
#include <unordered_map>

#include "logs/group_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"
#include "web/regex_matcher.h"

namespace bw {

namespace {

constexpr std::string_view kJoinWord = "进群";
constexpr std::string_view kLeaveWord = "退群";

const std::vector<std::string> kDayHeadings = {"时间", "群号", "状态", "QQ", "操作QQ"};
const std::vector<std::string> kSummaryHeadings = {"群号", "群名称", "进群",
                                                   "退群", "踢出",   "总进群"};
enum DayColumn : size_t { kDayTime, kDayGroup, kDayWord, kDayMember, kDayOperator };

std::filesystem::path PathOf(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Of(const std::filesystem::path& path) {
  const std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

// Year, month and day of a "yyyy-M-d" name; nullopt for other names.
std::optional<std::tuple<int, int, int>> ParseDayName(std::string_view name) {
  auto parts = Split(name, "-");
  if (parts.size() != 3) return std::nullopt;
  int values[3];
  for (int i = 0; i < 3; ++i) {
    const std::string& p = parts[i];
    if (p.empty() || p.size() > 4 ||
        !std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      return std::nullopt;
    }
    values[i] = std::stoi(p);
  }
  return std::tuple{values[0], values[1], values[2]};
}

bool IsDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The lines of a day file, each split at TAB. Empty lines are skipped.
std::vector<std::vector<std::string>> DayLines(const std::string& text) {
  std::vector<std::vector<std::string>> lines;
  for (std::string& line : Split(text, "\n")) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    lines.push_back(Split(line, "\t"));
  }
  return lines;
}

// The whole day file as UTF-8 text; a missing file is the empty text.
std::string ReadDayText(const std::string& path) {
  std::string bytes;
  if (!FileExists(path)) return {};
  if (Status s = ReadFileBytes(path, bytes); !s) {
    LogWarning("statistics: cannot read " + path + ": " + s.message());
    return {};
  }
  return DecodeExternalText(bytes);
}

// The day's lines (with their line ends) keyed by their group field.
std::unordered_map<std::string, std::string> LinesByGroup(const std::string& text) {
  std::unordered_map<std::string, std::string> byGroup;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    end = end == std::string::npos ? text.size() : end + 1;
    const std::string_view line(text.data() + pos, end - pos);
    const size_t first = line.find('\t');
    if (first != std::string_view::npos) {
      size_t second = line.find('\t', first + 1);
      if (second == std::string_view::npos) second = line.size();
      byGroup[std::string(line.substr(first + 1, second - first - 1))].append(line);
    }
    pos = end;
  }
  return byGroup;
}

size_t CountMatches(const std::string& text, const std::string& pattern) {
  RegexMatcher matcher;
  if (!matcher.run(text, pattern)) return 0;
  return matcher.count();
}

}  // namespace

DayCounts CountGroupEvents(const std::string& dayText, const std::string& group) {
  if (!IsDigits(group)) {
    if (!group.empty()) LogWarning("statistics: group \"" + group + "\" is no number");
    return {};
  }
  // The group number must stand alone: group 123 does not count the lines of
  // group 45123.
  const std::string g = "(?:^|\\D)" + group;
  DayCounts counts;
  counts.joins = static_cast<int64_t>(CountMatches(dayText, g + "\\D进群\\D[1-9][0-9]{4,}"));
  counts.leaves = static_cast<int64_t>(CountMatches(dayText, g + "\\D退群\\D[1-9][0-9]{4,}\\D0"));
  counts.removals =
      static_cast<int64_t>(CountMatches(dayText, g + "\\D退群\\D[1-9][0-9]{4,}\\D[1-9][0-9]{4,}"));
  return counts;
}

DailyStatistics::DailyStatistics(const Clock& clock, Settings& settings, ListViews& lists,
                                 const GroupLog& groupLog)
    : clock_(clock), settings_(settings), lists_(lists), groupLog_(groupLog) {}

std::string DailyStatistics::today() const {
  return FormatDateTime(clock_.now(), "yyyy-M-d", "", true);
}

std::string DailyStatistics::SummaryText(const DayCounts& c) {
  return "进群:" + std::to_string(c.joins) + "  退群:" + std::to_string(c.leaves) +
         "  踢出:" + std::to_string(c.removals) + "\r\n\r\n总进群:" + std::to_string(c.net());
}

void DailyStatistics::RefreshStatisticsDays() {
  const std::string todayName = today();
  std::vector<std::string> names;
  std::error_code ec;
  const auto dir = PathOf(groupLog_.directory());
  for (auto it = std::filesystem::directory_iterator(dir, ec);
       !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec) || it->path().extension() != ".txt") continue;
    std::string name = Utf8Of(it->path().stem());
    if (name != todayName) names.push_back(std::move(name));
  }
  if (ec) LogWarning("statistics: cannot list " + groupLog_.directory() + ": " + ec.message());
  // Newest day first; names that are no date after the dates.
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    auto da = ParseDayName(a), db = ParseDayName(b);
    if (da && db) return *da > *db;
    if (da || db) return da.has_value();
    return a > b;
  });
  names.insert(names.begin(), std::string(kStatisticsToday));
  {
    std::lock_guard lock(mu_);
    days_ = names;
  }
  settings_.setText(opt::kStatisticsDate, std::string(kStatisticsToday));
}

std::vector<std::string> DailyStatistics::days() const {
  std::lock_guard lock(mu_);
  return days_;
}

std::optional<std::string> DailyStatistics::chosenDayFile() const {
  std::string day = settings_.text(opt::kStatisticsDate);
  if (day == kStatisticsToday || day.empty()) day = today();
  // The name becomes part of a path: nothing but a file name is accepted.
  if (day.find('/') != std::string::npos || day.find('\\') != std::string::npos ||
      day.find("..") != std::string::npos) {
    LogWarning("statistics: \"" + day + "\" names no day file");
    return std::nullopt;
  }
  return JoinPath(groupLog_.directory(), day + ".txt");
}

void DailyStatistics::ShowDayEvents() {
  std::lock_guard lock(mu_);
  auto file = chosenDayFile();
  const std::string text = file ? ReadDayText(*file) : std::string();
  DayCounts counts;
  std::vector<ListRow> rows;
  for (auto& fields : DayLines(text)) {
    if (fields.size() != kDayHeadings.size()) {
      LogWarning("statistics: a line of " + file.value_or("") + " has " +
                 std::to_string(fields.size()) + " fields instead of 5");
    }
    fields.resize(kDayHeadings.size());
    ListRow row;
    row.cells = std::move(fields);
    const std::string& word = row.cells[kDayWord];
    if (word == kJoinWord) {
      ++counts.joins;
      row.textColour = kColourJoinText;
      row.backColour = kColourWhite;
    } else if (word == kLeaveWord && row.cells[kDayOperator] == "0") {
      ++counts.leaves;
    } else if (word == kLeaveWord) {
      ++counts.removals;
      row.textColour = kColourRemovalText;
      row.backColour = kColourRemovalBack;
    }
    rows.push_back(std::move(row));
  }
  headings_ = kDayHeadings;
  counts_ = counts;
  summary_ = SummaryText(counts);
  lists_.statistics.replaceAll(std::move(rows));
}

void DailyStatistics::ShowGroupSummary() {
  std::lock_guard lock(mu_);
  auto file = chosenDayFile();
  const std::string text = file ? ReadDayText(*file) : std::string();
  // The patterns only match on a line of their own group, so each group's
  // patterns run over its own lines instead of the whole day once per pattern.
  const auto byGroup = LinesByGroup(text);
  std::vector<ListRow> rows;
  for (const ListRow& group : lists_.groups.rows()) {
    if (!group.checked) continue;
    auto cell = [&](size_t i) { return i < group.cells.size() ? group.cells[i] : std::string(); };
    const std::string number = cell(groupcol::kGroup);
    auto lines = byGroup.find(number);
    const DayCounts c =
        lines == byGroup.end() ? DayCounts{} : CountGroupEvents(lines->second, number);
    ListRow row;
    row.cells = {number,
                 cell(groupcol::kName),
                 std::to_string(c.joins),
                 std::to_string(c.leaves),
                 std::to_string(c.removals),
                 std::to_string(c.net())};
    row.textColour = c.net() > 0 ? kColourJoinText : kColourNegativeText;
    row.backColour = kColourWhite;
    rows.push_back(std::move(row));
  }
  headings_ = kSummaryHeadings;
  lists_.statistics.replaceAll(std::move(rows));
}

void DailyStatistics::sortByColumn(size_t column) {
  std::lock_guard lock(mu_);
  sortDescending_ = sortColumn_ == column ? !sortDescending_ : false;
  sortColumn_ = column;
  const bool descending = sortDescending_;
  lists_.statistics.update([&](std::vector<ListRow>& rows) {
    auto key = [&](const ListRow& r) {
      return column < r.cells.size() ? TextToInt(r.cells[column]) : int64_t{0};
    };
    std::stable_sort(rows.begin(), rows.end(), [&](const ListRow& a, const ListRow& b) {
      return descending ? key(a) > key(b) : key(a) < key(b);
    });
  });
}

std::vector<std::string> DailyStatistics::headings() const {
  std::lock_guard lock(mu_);
  return headings_;
}

std::string DailyStatistics::summaryText() const {
  std::lock_guard lock(mu_);
  return summary_;
}

DayCounts DailyStatistics::dayCounts() const {
  std::lock_guard lock(mu_);
  return counts_;
}

}  // namespace bw
