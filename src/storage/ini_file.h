// INI files with the profile-string semantics the settings files were written
// with: sections "[name]", "key=value" lines, one value per key, no quoting,
// sections and keys compared without ASCII case (the first of duplicates
// counts), blanks around keys and values dropped on read, ";" lines are
// comments, values read up to 10,239 bytes (measured on the GBK form, never
// cutting a character). Files may be UTF-8, GBK or UTF-16 with a byte-order
// mark, decided line by line (ReadTextFile); they are written in the platform's
// file encoding (EncodeForFile) with CR LF, through a temporary file and a
// rename, so a failed write leaves the old file as it was. A file that was not
// read cleanly is kept beside it before its first rewrite (the name carries the
// time of `clock`).
//
// A value cannot hold a line break: CR and LF are written as blanks (callers
// that keep line breaks encode them first, as the edit boxes do with "><br><").
//
// Thread-safety: all calls are serialised inside this module, so concurrent
// read-modify-writes of one file do not lose each other's keys.
#pragma once

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "util/clock.h"
#include "util/status.h"
#include "util/text_file.h"

namespace bw {

inline constexpr size_t kProfileValueMax = 10239;

std::string ReadProfileString(const std::string& file, const std::string& section,
                              const std::string& key, const std::string& fallback = "");
Status WriteProfileString(const std::string& file, const std::string& section,
                          const std::string& key, const std::string& value,
                          const Clock& clock = SystemClock());

// Writes many keys of one section in one read-modify-write of the file.
using ProfileEntries = std::vector<std::pair<std::string, std::string>>;
Status WriteProfileStrings(const std::string& file, const std::string& section,
                           const ProfileEntries& entries, const Clock& clock = SystemClock());

// Keys of several sections in one read-modify-write and one rename: a kill
// leaves the file either wholly before or wholly after the change, never with
// one section new and the next one old.
struct ProfileSectionEntries {
  std::string section;
  ProfileEntries entries;
};
Status WriteProfileSections(const std::string& file,
                            const std::vector<ProfileSectionEntries>& sections,
                            const Clock& clock = SystemClock());

// One section read at once, for callers that look up many keys (reading the
// file once instead of once per key).
class ProfileSection {
 public:
  // The value as ReadProfileString gives it.
  std::string value(const std::string& key, const std::string& fallback = "") const;
  // Keys in file order, the first of duplicates only.
  const ProfileEntries& entries() const { return entries_; }

 private:
  friend ProfileSection ParseProfileSection(const std::string& text, const std::string& section);
  ProfileEntries entries_;
  std::unordered_map<std::string, size_t> index_;  // folded key -> position in entries_
};
ProfileSection ReadProfileSection(const std::string& file, const std::string& section);
ProfileSection ParseProfileSection(const std::string& text, const std::string& section);

// The whole file as text (for tests and tools).
std::string FormatProfile(const std::string& currentText, const std::string& section,
                          const ProfileEntries& entries);

}  // namespace bw
