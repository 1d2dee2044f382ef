#include "storage/ini_file.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <unordered_map>

#include "util/charset.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text_file.h"

namespace bw {
namespace {

std::mutex g_mu;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
    s.remove_suffix(1);
  return s;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The lines of `text`, without their LF or CR LF, as views into it.
std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  lines.reserve(static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    pos = end + 1;
  }
  return lines;
}

// "[name]" gives name; false when the line is no section header.
bool SectionName(std::string_view line, std::string_view& name) {
  line = Trim(line);
  if (line.size() < 2 || line.front() != '[') return false;
  size_t close = line.find(']');
  if (close == std::string_view::npos) return false;
  name = Trim(line.substr(1, close - 1));
  return true;
}

bool KeyValue(std::string_view line, std::string_view& key, std::string_view& value) {
  std::string_view t = Trim(line);
  if (t.empty() || t.front() == ';') return false;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  key = Trim(line.substr(0, eq));
  value = Trim(line.substr(eq + 1));
  return true;
}

std::string OneLine(std::string value) {
  for (char& c : value) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return value;
}

std::string ReadText(const std::string& file) {
  TextFile text;
  Status st = ReadTextFile(file, text);
  if (!st.ok()) {
    LogWarning("settings: " + st.message());
    return {};
  }
  return std::move(text.decoded.text);
}

// Keys compare without ASCII case: this is the form they are looked up by.
std::string FoldedName(std::string_view name) {
  std::string out(name);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

std::string CutValue(std::string_view v) {
  std::string value(v);
  return value.size() > kProfileValueMax ? PrefixByGbkBytes(value, kProfileValueMax) : value;
}

}  // namespace

std::string FormatProfile(const std::string& currentText, const std::string& section,
                          const ProfileEntries& entries) {
  // The lines stay views into the text; the lines written anew live in `made`
  // (a deque: its strings never move, so views into them stay good).
  std::vector<std::string_view> lines = Lines(currentText);
  std::deque<std::string> made;
  // Where the section is, and where its last key line ends.
  size_t start = lines.size(), end = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view name;
    if (!SectionName(lines[i], name)) continue;
    if (start == lines.size()) {
      if (SameName(name, section)) start = i;
    } else {
      end = i;
      break;
    }
  }
  if (start == lines.size()) {
    if (!lines.empty() && !Trim(lines.back()).empty()) lines.emplace_back();
    lines.push_back(made.emplace_back("[" + section + "]"));
    start = lines.size() - 1;
    end = lines.size();
  }
  // New keys go after the section's last non-blank line.
  size_t insertAt = end;
  while (insertAt > start + 1 && Trim(lines[insertAt - 1]).empty()) --insertAt;

  // Each key found once, through one index of the section's keys and the
  // batch's new ones: a batch of thousands of keys (the group switches) stays
  // linear. The first line of a key is the one replaced. Keys are indexed as
  // views into the text and the batch (folded copies only where they differ).
  const auto folded = [&made](std::string_view name) -> std::string_view {
    if (std::none_of(name.begin(), name.end(), [](char c) { return c >= 'A' && c <= 'Z'; }))
      return name;
    return made.emplace_back(FoldedName(name));
  };
  struct Slot {
    bool added;  // `at` indexes `added`, else `lines`
    size_t at;
  };
  std::unordered_map<std::string_view, Slot> index;
  index.reserve(insertAt - start + entries.size());
  for (size_t i = start + 1; i < insertAt; ++i) {
    std::string_view k, v;
    if (KeyValue(lines[i], k, v)) index.emplace(folded(k), Slot{false, i});
  }
  std::vector<std::string_view> added;
  for (const auto& [key, rawValue] : entries) {
    std::string& line = made.emplace_back();
    line.reserve(key.size() + 1 + rawValue.size());
    line.append(key).append("=").append(OneLine(rawValue));
    const auto [it, isNew] = index.try_emplace(folded(key), Slot{true, added.size()});
    if (isNew) {
      added.push_back(line);
    } else if (it->second.added) {
      added[it->second.at] = line;  // the same key twice in one batch: the later wins
    } else {
      lines[it->second.at] = line;
    }
  }
  lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), added.begin(), added.end());

  size_t size = 0;
  for (const std::string_view l : lines) size += l.size() + 2;
  std::string out;
  out.reserve(size);
  for (const std::string_view l : lines) out.append(l).append("\r\n");
  return out;
}

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback) {
  return ReadProfileSection(file, section).value(key, fallback);
}

std::string ProfileSection::value(const std::string& key, const std::string& fallback) const {
  auto it = index_.find(FoldedName(key));
  return it == index_.end() ? fallback : entries_[it->second].second;
}

ProfileSection ParseProfileSection(const std::string& text, const std::string& section) {
  ProfileSection out;
  bool inSection = false, seenSection = false;
  for (const auto& line : Lines(text)) {
    std::string_view name;
    if (SectionName(line, name)) {
      if (inSection) break;  // only the first section of that name counts
      inSection = !seenSection && SameName(name, section);
      seenSection = seenSection || inSection;
      continue;
    }
    std::string_view k, v;
    if (inSection && KeyValue(line, k, v)) {
      // The first of duplicate keys counts.
      if (out.index_.emplace(FoldedName(k), out.entries_.size()).second)
        out.entries_.emplace_back(std::string(k), CutValue(v));
    }
  }
  return out;
}

ProfileSection ReadProfileSection(const std::string& file, const std::string& section) {
  std::string text;
  {
    std::lock_guard lock(g_mu);
    text = ReadText(file);
  }
  return ParseProfileSection(text, section);
}

Status WriteProfileSections(const std::string& file,
                            const std::vector<ProfileSectionEntries>& sections,
                            const Clock& clock) {
  std::lock_guard lock(g_mu);
  TextFile current;
  Status st = ReadTextFile(file, current);
  if (st.ok()) st = KeepUnreadableOriginal(file, current, clock);
  if (!st.ok()) {
    // Rewriting from nothing would drop every other key of the file.
    LogWarning("settings: not written, " + st.message());
    return st;
  }
  std::string text = std::move(current.decoded.text);
  for (const ProfileSectionEntries& s : sections) text = FormatProfile(text, s.section, s.entries);
  st = WriteFileAtomic(file, EncodeForFile(text));
  if (!st.ok()) LogWarning("settings: " + st.message());
  return st;
}

Status WriteProfileStrings(const std::string& file, const std::string& section,
                           const ProfileEntries& entries, const Clock& clock) {
  return WriteProfileSections(file, {{section, entries}}, clock);
}

Status WriteProfileString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& value, const Clock& clock) {
  return WriteProfileStrings(file, section, {{key, value}}, clock);
}

}  // namespace bw
