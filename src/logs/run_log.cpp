#include "logs/run_log.h"

#include <algorithm>

#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"

namespace bw {

RunLog::RunLog(const Clock& clock, ListModel* view, size_t capacity)
    : clock_(clock), view_(view), capacity_(capacity == 0 ? 1 : capacity) {}

std::string RunLog::timeText(SystemTime now) {
  constexpr std::string_view kDate = "M-d ", kTime = "hh:mm:ss";
  const int64_t second = std::chrono::floor<std::chrono::seconds>(now.time_since_epoch()).count();
  const int64_t minute = second - ((second % 60) + 60) % 60;
  std::lock_guard lock(timeMu_);
  if (!minuteKnown_ || minute != minute_) {
    // The minute's text serves its every second only when its first and its
    // last second read as that text with ":00" and ":59": no change of the
    // local offset (summer time) falls inside it.
    const SystemTime start{std::chrono::seconds(minute)};
    const std::string first = FormatDateTime(start, kDate, kTime, true);
    const std::string last = FormatDateTime(start + std::chrono::seconds(59), kDate, kTime, true);
    minuteKnown_ = true;
    minute_ = minute;
    minutePrefix_ = first.substr(0, first.size() >= 2 ? first.size() - 2 : 0);
    minuteWhole_ = first.size() >= 2 && first.compare(first.size() - 2, 2, "00") == 0 &&
                   last == minutePrefix_ + "59";
  }
  if (!minuteWhole_) return FormatDateTime(now, kDate, kTime, true);
  const int s = static_cast<int>(second - minute);
  std::string text = minutePrefix_;
  text += static_cast<char>('0' + s / 10);
  text += static_cast<char>('0' + s % 10);
  return text;
}

void RunLog::WriteRunLog(std::string_view type, std::string_view message) {
  RunLogEntry entry;
  // Converted to local time once a minute, not once an entry: a start-up over a
  // long group list writes two entries a group.
  entry.time = timeText(clock_.now());
  entry.type = type.empty() ? std::string("信息") : std::string(type);
  entry.message = Excerpt(message, kMaxRunLogMessageBytes);
  entry.red = Contains(message, "失败");

  std::lock_guard write(writeMu_);
  std::vector<Sink> sinks;
  std::string prefix;
  {
    std::lock_guard lock(mu_);
    prefix = serviceLogPrefix_;
    entry.id = nextId_++;
    entries_.emplace_back(entry);
    while (entries_.size() > capacity_) entries_.pop_front();
    status_ = entry.message;
    for (const auto& [id, sink] : sinks_) sinks.push_back(sink);
  }

  if (serviceLog_.load()) {
    std::string line;  // built in one piece: a start-up writes two entries a group
    line.reserve(prefix.size() + entry.type.size() + entry.message.size() + 3);
    line.append(prefix).append("[").append(entry.type).append("] ").append(entry.message);
    Log(entry.red ? LogLevel::kWarning : LogLevel::kInfo, line);
  }

  if (view_) {
    ListRow row;
    row.cells = {std::to_string(entry.id), entry.time, entry.type, entry.message};
    if (entry.red) {
      row.textColour = 0x0000FF;  // red as 0xBBGGRR
      row.backColour = 0xFFFFFF;
    }
    view_->append(std::move(row));
    while (view_->rowCount() > capacity_) view_->remove(0);
  }
  for (const auto& sink : sinks) sink(entry);
}

RunLogEntry RunLog::Kept::entry() const {
  return RunLogEntry{id, std::string(time), std::string(type), std::string(message), red};
}

std::vector<RunLogEntry> RunLog::entries() const { return entriesAfter(0); }

std::vector<RunLogEntry> RunLog::entriesAfter(int64_t after, size_t max) const {
  std::lock_guard lock(mu_);
  // Ids grow with every entry, so the new ones are a tail of the deque.
  auto first = std::partition_point(entries_.begin(), entries_.end(),
                                    [after](const Kept& e) { return e.id <= after; });
  if (static_cast<size_t>(entries_.end() - first) > max) first = entries_.end() - max;
  std::vector<RunLogEntry> out;
  out.reserve(static_cast<size_t>(entries_.end() - first));
  for (auto it = first; it != entries_.end(); ++it) out.push_back(it->entry());
  return out;
}

int64_t RunLog::lastId() const {
  std::lock_guard lock(mu_);
  return entries_.empty() ? 0 : entries_.back().id;
}

std::string RunLog::status() const {
  std::lock_guard lock(mu_);
  return status_;
}

int RunLog::subscribe(Sink sink) {
  std::lock_guard lock(mu_);
  int id = nextSink_++;
  sinks_[id] = std::move(sink);
  return id;
}

void RunLog::unsubscribe(int id) {
  std::lock_guard lock(mu_);
  sinks_.erase(id);
}

}  // namespace bw
