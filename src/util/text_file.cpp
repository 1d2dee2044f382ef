#include "util/text_file.h"

#include <functional>
#include <mutex>
#include <unordered_set>

#include "util/files.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw {
namespace {

std::string LineList(const std::vector<size_t>& lines) {
  constexpr size_t kShown = 20;  // a whole file in the wrong encoding stays one log line
  std::string out;
  for (size_t i = 0; i < lines.size() && i < kShown; ++i) {
    if (i) out += ", ";
    out += std::to_string(lines[i]);
  }
  if (lines.size() > kShown) out += " and " + std::to_string(lines.size() - kShown) + " more";
  return out;
}

// Reports each content of each file once: the settings are read key by key.
void ReportUnclean(const std::string& path, const TextFile& file) {
  static std::mutex mu;
  static std::unordered_set<size_t> reported;
  const size_t id = std::hash<std::string>{}(path + '\0' + file.bytes);
  {
    std::lock_guard lock(mu);
    if (!reported.insert(id).second) return;
  }
  const DecodedText& d = file.decoded;
  if (!d.unreadableLines.empty()) {
    LogWarning(path + ": bytes that could not be read (shown as U+FFFD) on line " +
               LineList(d.unreadableLines));
  }
  if (!d.guessedLines.empty()) {
    LogWarning(path + ": line " + LineList(d.guessedLines) +
               " read in another encoding than the rest of the file; its text may be garbled");
  }
}

}  // namespace

Status ReadTextFile(const std::string& path, TextFile& out) {
  out = TextFile{};
  if (!FileExists(path)) return Status::Ok();
  out.exists = true;
  Status st = ReadFileBytes(path, out.bytes);
  if (!st.ok()) return st;
  out.decoded = DecodeFileText(out.bytes);
  if (!out.decoded.clean()) ReportUnclean(path, out);
  return Status::Ok();
}

Status KeepUnreadableOriginal(const std::string& path, const TextFile& file, const Clock& clock) {
  if (!file.exists || file.decoded.clean()) return Status::Ok();
  const std::string stem =
      path + ".unreadable-" + FormatDateTime(clock.now(), "yyyyMMdd", "-HHmmss", true);
  // Two rewrites within a second: never overwrite a different kept original.
  std::string copy = stem;
  for (int n = 2; FileExists(copy); ++n) {
    std::string existing;
    if (ReadFileBytes(copy, existing).ok() && existing == file.bytes) return Status::Ok();
    copy = stem + "-" + std::to_string(n);
  }
  Status st = WriteFileAtomic(copy, file.bytes);
  if (!st.ok()) return st;
  LogWarning(path + ": not read cleanly; its original is kept as " + copy);
  return Status::Ok();
}

Status KeepUnreadableOriginal(const std::string& path, const Clock& clock) {
  TextFile file;
  if (!FileExists(path)) return Status::Ok();
  file.exists = true;
  Status st = ReadFileBytes(path, file.bytes);
  if (!st.ok()) return st;
  // Valid UTF-8 always reads cleanly, mark or no mark; a save of a long list
  // asks this each time, so it is not decoded just to learn that.
  if (IsValidUtf8(file.bytes)) return Status::Ok();
  file.decoded = DecodeFileText(file.bytes);
  if (!file.decoded.clean()) ReportUnclean(path, file);
  return KeepUnreadableOriginal(path, file, clock);
}

const Clock& SystemClock() {
  static const RealClock clock;
  return clock;
}

}  // namespace bw
