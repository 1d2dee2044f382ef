#include "automod/rule_file.h"

#include "util/files.h"
#include "util/log.h"

namespace bw::automod {

namespace {

using json = nlohmann::json;

constexpr std::string_view kHeader =
    "# 青榆群卫 自动管理规则（UTF-8）。服务停止时可以手工编辑。\n"
    "# 每条规则一节：一行 [规则 编号]，下面是这条规则的 JSON；[设置] 一节是警告阶梯和报告群。\n"
    "# 某一节读不了时只停用那一条规则，其余照常工作。\n";

constexpr std::string_view kSettings = "设置";
constexpr std::string_view kRule = "规则";

struct Section {
  std::string title;  // between the brackets
  std::string body;
  std::string raw;  // the header line and the body as written
};

std::vector<Section> Split(std::string_view text) {
  std::vector<Section> out;
  Section* current = nullptr;
  size_t pos = 0;
  if (text.starts_with("\xEF\xBB\xBF")) pos = 3;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    const std::string_view full = text.substr(pos, std::min(end + 1, text.size()) - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.starts_with("[") && line.ends_with("]")) {
      out.push_back(Section{std::string(line.substr(1, line.size() - 2)), {}, std::string(full)});
      current = &out.back();
      continue;
    }
    if (!current) continue;
    // A comment stays in the section as written (a kept section keeps it).
    current->raw.append(full);
    if (line.starts_with("#")) continue;
    current->body.append(line).push_back('\n');
  }
  return out;
}

// A section as written, without the blank lines that ended it: they
// separated it from the next one (written with them, each save would add one).
std::string_view SectionText(std::string_view raw) {
  while (raw.ends_with("\n\n") || raw.ends_with("\n\r\n"))
    raw.remove_suffix(raw.ends_with("\n\n") ? 1 : 2);
  return raw;
}

std::string Trimmed(std::string_view s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string_view::npos) return {};
  const size_t e = s.find_last_not_of(" \t");
  return std::string(s.substr(b, e - b + 1));
}

}  // namespace

std::string WriteRuleText(const RuleSet& set,
                          const std::map<std::string, std::pair<Rule, std::string>>& keep) {
  std::string out(kHeader);
  json settings{{"ladder", ToJson(set.ladder)}, {"reportGroup", set.reportGroup}};
  out += "\n[" + std::string(kSettings) + "]\n" + settings.dump(2) + "\n";
  for (const Rule& r : set.rules) {
    out += "\n";
    if (const auto it = keep.find(r.id); it != keep.end() && it->second.first == r) {
      out += SectionText(it->second.second);
      if (!out.ends_with("\n")) out += "\n";
      continue;
    }
    // Ids are the panel's ("r1", …); a bracket or line break would end the header.
    std::string id = r.id;
    std::erase_if(id, [](char c) { return c == ']' || c == '\n' || c == '\r'; });
    out += "[" + std::string(kRule) + " " + id + "]\n" + ToJson(r).dump(2) + "\n";
  }
  return out;
}

LoadedRules ReadRuleText(std::string_view text,
                         std::map<std::string, std::pair<Rule, std::string>>* keep) {
  LoadedRules out;
  if (keep) keep->clear();
  size_t unnamed = 0;
  for (const Section& s : Split(text)) {
    if (s.title == kSettings) {
      json j = json::parse(s.body, nullptr, false);
      if (j.is_discarded() || !j.is_object()) {
        out.problems.push_back(
            Problem{"", "", "设置", "[设置] 一节不是有效的 JSON，警告阶梯和报告群按默认值"});
        continue;
      }
      std::vector<Problem> problems;
      Ladder ladder = j.contains("ladder") ? LadderFromJson(j["ladder"], problems) : Ladder{};
      int64_t report = 0;
      if (const auto g = j.find("reportGroup");
          g != j.end() && g->is_number_integer() && g->get<int64_t>() >= 0)
        report = g->get<int64_t>();
      else if (g != j.end())
        problems.push_back(Problem{"", "", "reportGroup", "报告群不是群号，已不报告"});
      if (!problems.empty()) ladder = Ladder{};
      out.set.ladder = ladder;
      out.set.reportGroup = report;
      for (auto& p : problems) out.problems.push_back(std::move(p));
      continue;
    }
    if (!s.title.starts_with(kRule)) {
      out.problems.push_back(Problem{"", "", "", "不认识的一节 [" + s.title + "]，已忽略"});
      continue;
    }
    std::string headerId = Trimmed(std::string_view(s.title).substr(kRule.size()));
    if (headerId.empty()) headerId = "未编号" + std::to_string(++unnamed);
    std::vector<Problem> problems;
    Rule rule;
    json j = json::parse(s.body, nullptr, false);
    if (j.is_discarded()) {
      rule.id = headerId;
      rule.name = headerId;
      problems.push_back(Problem{rule.id, "", "", "这一节不是有效的 JSON"});
    } else {
      rule = RuleFromJson(j, problems);
      if (rule.id.empty()) rule.id = headerId;
    }
    for (const Rule& other : out.set.rules) {
      if (other.id == rule.id) {
        problems.push_back(Problem{rule.id, rule.name, "id", "编号和前面的规则重复"});
        rule.id += "-" + std::to_string(out.set.rules.size() + 1);
        break;
      }
    }
    if (!problems.empty()) {
      rule.state = RuleState::kOff;
      // Every problem names the rule, so the log says which one stopped.
      for (auto& p : problems) {
        p.ruleId = rule.id;
        if (p.ruleName.empty()) p.ruleName = rule.name;
        out.problems.push_back(std::move(p));
      }
      if (keep) (*keep)[rule.id] = {rule, s.raw};
    }
    out.set.rules.push_back(std::move(rule));
  }
  return out;
}

RuleFile::RuleFile(std::string path) : path_(std::move(path)) {}

LoadedRules RuleFile::load() {
  std::lock_guard lock(mu_);
  std::string text;
  if (!FileExists(path_)) {
    keep_.clear();
    reasons_.clear();
    LoadedRules none;
    none.fileMissing = true;
    return none;
  }
  if (Status st = ReadFileBytes(path_, text); !st) {
    LogWarning("automod: cannot read " + path_ + ": " + st.message());
    LoadedRules none;
    none.problems.push_back(Problem{"", "", "", "规则文件读不了：" + st.message()});
    return none;
  }
  LoadedRules loaded = ReadRuleText(text, &keep_);
  reasons_.clear();
  for (const Problem& p : loaded.problems) {
    if (p.ruleId.empty() || !keep_.contains(p.ruleId)) continue;
    std::string& reason = reasons_[p.ruleId];
    if (reason.find(p.message) != std::string::npos) continue;
    reason += (reason.empty() ? "" : "；") + p.message;
  }
  for (const Problem& p : loaded.problems)
    LogWarning("automod: " + path_ + ": rule " + p.ruleId + " (" + p.ruleName + ") " +
               (p.ruleId.empty() ? "" : "turned off: ") + p.message);
  return loaded;
}

bool RuleFile::save(const RuleSet& set) {
  std::lock_guard lock(mu_);
  if (Status st = WriteFileAtomic(path_, WriteRuleText(set, keep_)); !st) {
    LogWarning("automod: cannot write " + path_ + ": " + st.message());
    return false;
  }
  return true;
}

bool RuleFile::keeps(const Rule& rule) const {
  std::lock_guard lock(mu_);
  const auto it = keep_.find(rule.id);
  return it != keep_.end() && it->second.first == rule;
}

std::vector<BrokenRule> RuleFile::broken(const RuleSet& set) const {
  std::lock_guard lock(mu_);
  std::vector<BrokenRule> out;
  for (const Rule& r : set.rules) {
    const auto it = keep_.find(r.id);
    if (it == keep_.end() || !(it->second.first == r)) continue;
    const auto why = reasons_.find(r.id);
    out.push_back(BrokenRule{r.id, why != reasons_.end() ? why->second : std::string(),
                             std::string(SectionText(it->second.second))});
  }
  return out;
}

}  // namespace bw::automod
