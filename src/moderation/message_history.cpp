#include "moderation/message_history.h"

#include <charconv>

#include "host/identity.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/message_history_table.h"
#include "util/log.h"

namespace bw {
namespace {

// A positive decimal number of at most 18 digits, else 0.
int64_t Positive(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  if (s.empty() || s.size() > 18 || s.front() == '0') return 0;
  int64_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  return ec == std::errc() && end == s.data() + s.size() ? n : 0;
}

constexpr int64_t kDaySeconds = 86400;

}  // namespace

std::map<int64_t, int64_t> ParseHistoryGroups(std::string_view text,
                                              std::vector<std::string>* bad) {
  std::map<int64_t, int64_t> out;
  while (!text.empty()) {
    const size_t plus = text.find('+');
    const std::string_view entry = text.substr(0, plus);
    text = plus == std::string_view::npos ? std::string_view() : text.substr(plus + 1);
    if (entry.find_first_not_of(" \r\n") == std::string_view::npos) continue;
    const size_t colon = entry.find(':');
    const int64_t group = colon == std::string_view::npos ? 0 : Positive(entry.substr(0, colon));
    const int64_t days = colon == std::string_view::npos ? 0 : Positive(entry.substr(colon + 1));
    if (group == 0 || days == 0 || days > kHistoryMaxDays) {
      if (bad) bad->emplace_back(entry);
      continue;
    }
    out[group] = days;
  }
  return out;
}

std::string HistoryGroupsText(const std::map<int64_t, int64_t>& groups) {
  std::string text;
  for (const auto& [group, days] : groups) {
    if (days <= 0) continue;
    if (!text.empty()) text += '+';
    text += std::to_string(group) + ":" + std::to_string(days);
  }
  return text;
}

MessageHistory::MessageHistory(Clock& clock, Settings& settings, const Identity& identity,
                               MessageHistoryTable& table, int64_t maxPerGroup)
    : clock_(clock),
      settings_(settings),
      identity_(identity),
      table_(table),
      maxPerGroup_(maxPerGroup) {}

MessageHistory::~MessageHistory() { stopRetention(); }

std::map<int64_t, int64_t> MessageHistory::groups() const {
  std::string text = settings_.text(opt::kHistoryGroups);
  std::lock_guard lock(optionMu_);
  if (text != optionText_) {
    std::vector<std::string> bad;
    optionGroups_ = ParseHistoryGroups(text, &bad);
    for (const std::string& entry : bad)
      LogWarning("message history: \"" + entry +
                 "\" is not \"group:days\" with 1 to 30 days; that group keeps nothing");
    optionText_ = std::move(text);
  }
  return optionGroups_;
}

int64_t MessageHistory::daysFor(int64_t group) const {
  const auto all = groups();
  const auto it = all.find(group);
  return it == all.end() ? 0 : it->second;
}

int64_t MessageHistory::robot() const { return Positive(identity_.loginAccount()); }

void MessageHistory::record(const GroupMessageRecord& r) {
  if (daysFor(r.fromGroup) == 0) return;
  const int64_t self = robot();
  if (self == 0 || r.fromQQ == self) return;
  std::lock_guard lock(mu_);
  const SystemTime now = clock_.now();
  if (now - lastPass_ >= kHistoryPassInterval) pruneLocked(self);
  KeptMessage m{clock_.unixSeconds(), r.fromGroup, r.fromQQ, r.msgId, r.msg};
  if (!table_.add(self, m)) return;
  auto it = counts_.find(r.fromGroup);
  if (it == counts_.end()) {
    it = counts_.emplace(r.fromGroup, table_.count(self, r.fromGroup)).first;
  } else {
    ++it->second;
  }
  if (it->second > maxPerGroup_) {
    // A hundredth below the cap, so that a full group is trimmed once per
    // many messages, not at every one.
    table_.trimTo(self, r.fromGroup, maxPerGroup_ - maxPerGroup_ / 100);
    it->second = table_.count(self, r.fromGroup);
  }
}

void MessageHistory::prune() {
  const int64_t self = robot();
  if (self == 0) return;
  std::lock_guard lock(mu_);
  pruneLocked(self);
}

void MessageHistory::pruneLocked(int64_t self) {
  lastPass_ = clock_.now();
  const int64_t now = clock_.unixSeconds();
  const auto kept = groups();
  for (const int64_t group : table_.groups(self)) {
    const auto it = kept.find(group);
    if (it == kept.end()) {
      if (table_.removeGroup(self, group))
        LogInfo("message history: group " + std::to_string(group) +
                " keeps no messages any more; its kept messages are deleted");
      continue;
    }
    table_.removeOlder(self, group, now - it->second * kDaySeconds);
    table_.trimTo(self, group, maxPerGroup_);
  }
  counts_.clear();  // read again at the next message
}

void MessageHistory::startRetention() {
  std::lock_guard lock(threadMu_);
  if (timer_.joinable()) return;
  timer_ = std::jthread([this](std::stop_token stop) {
    while (clock_.sleepFor(kHistoryPassInterval, stop)) prune();
  });
}

void MessageHistory::stopRetention() {
  std::lock_guard lock(threadMu_);
  if (!timer_.joinable()) return;
  timer_.request_stop();
  timer_.join();
  timer_ = std::jthread();
}

}  // namespace bw
