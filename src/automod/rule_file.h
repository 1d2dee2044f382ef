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
  bool save(const RuleSet& set);

 private:
  std::mutex mu_;
  std::string path_;
  std::map<std::string, std::pair<Rule, std::string>> keep_;
};

}  // namespace bw::automod
