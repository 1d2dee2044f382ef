#include "logs/group_log.h"

#include "util/charset.h"
#include "util/files.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw {
namespace {

// A field holding a TAB or a line break would split or shift the line.
std::string Field(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  }
  return out;
}

}  // namespace

GroupLog::GroupLog(const Clock& clock, std::string directory)
    : clock_(clock), directory_(std::move(directory)) {}

void GroupLog::WriteGroupLog(std::string_view group, std::string_view member, std::string_view op,
                             std::string_view word) {
  std::lock_guard lock(mu_);
  const bool repeat = group == lastGroup_ && member == lastMember_ && word == lastWord_;
  lastGroup_ = std::string(group);
  lastMember_ = std::string(member);
  lastWord_ = std::string(word);
  if (repeat) return;

  const SystemTime now = clock_.now();
  const std::string path = JoinPath(directory_, FormatDateTime(now, "yyyy-M-d", "", true) + ".txt");
  const std::string line = FormatDateTime(now, "yyyy-M-d ", "hh:mm:ss", true) + "\t" +
                           Field(group) + "\t" + Field(word) + "\t" + Field(member) + "\t" +
                           Field(op) + "\r\n";
  const std::string bytes = EncodeForFile(line);
  Status st = AppendFile(path, bytes);
  if (!st.ok() && EnsureDirectory(directory_)) st = AppendFile(path, bytes);
  if (!st.ok()) LogWarning("group log: line lost, " + path + ": " + st.message());
}

void GroupLog::setDirectory(std::string directory) {
  std::lock_guard lock(mu_);
  directory_ = std::move(directory);
}

std::string GroupLog::directory() const {
  std::lock_guard lock(mu_);
  return directory_;
}

std::string GroupLog::dayFile(SystemTime t) const {
  std::lock_guard lock(mu_);
  return JoinPath(directory_, FormatDateTime(t, "yyyy-M-d", "", true) + ".txt");
}

}  // namespace bw
