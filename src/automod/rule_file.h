// The rule file: the account's automod rules as one UTF-8 text file in its
// data folder (automod.txt), written atomically, readable and editable by hand
// while the robot is stopped. Each rule is one section: a line "[规则 ID]"
// followed by the rule as JSON; the "[设置]" section holds the ladder and the
// report group. Lines starting with "#" are comments.
//
// One section that cannot be read spoils only itself: its rule is kept off
// (as far as it could be read), the problem goes to the caller (run log, log
// line naming the file and the rule), and its text is written back unchanged
// until the owner replaces or deletes the rule, so nothing they typed is lost.
//
// Thread-safety: one RuleFile per file; its members are serialised inside.
#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "automod/rule.h"

namespace bw::automod {

inline constexpr const char* kRuleFileName = "automod.txt";

// A rule whose section could not be read, as the file keeps it.
struct BrokenRule {
  std::string id;
  std::string reason;  // what is wrong with it, in plain Chinese
  std::string text;    // the section as written in the file
};

struct LoadedRules {
  RuleSet set;
  // Problems of rules that were turned off because they could not be read,
  // and of the settings section; each names its rule.
  std::vector<Problem> problems;
  bool fileMissing = false;
};

// The text of a rule set in the file's format, and back. `keep` maps the id of
// a rule that could not be read to its original section, written instead of
// the rule as long as the rule is unchanged.
std::string WriteRuleText(const RuleSet& set,
                          const std::map<std::string, std::pair<Rule, std::string>>& keep = {});
LoadedRules ReadRuleText(std::string_view text,
                         std::map<std::string, std::pair<Rule, std::string>>* keep = nullptr);

class RuleFile {
 public:
  explicit RuleFile(std::string path);
  const std::string& path() const { return path_; }

  // Reads the file; a missing file is an empty rule set.
  LoadedRules load();
  // Writes the set atomically; false (logged) when it could not be written.
  // A rule still as its unreadable section left it is written as that section.
  bool save(const RuleSet& set);

  // `rule` is one that load() could not read and that nobody changed since:
  // save() writes its section back as it was.
  bool keeps(const Rule& rule) const;
  // Such rules of `set`, in its order.
  std::vector<BrokenRule> broken(const RuleSet& set) const;

 private:
  mutable std::mutex mu_;
  std::string path_;
  std::map<std::string, std::pair<Rule, std::string>> keep_;
  std::map<std::string, std::string> reasons_;  // by rule id, for the kept sections
};

}  // namespace bw::automod
