#include "automod/rule.h"

#include <cctype>
#include <set>

#include "web/regex_pattern.h"

namespace bw::automod {

namespace {

using json = nlohmann::json;

constexpr std::string_view kStateNames[] = {"on", "watch", "off"};
constexpr std::string_view kTriggerNames[] = {"words", "flood",    "repeat",
                                              "raid",  "mentions", "links"};
constexpr std::string_view kActionNames[] = {"recall", "warn",          "points", "mute",
                                             "kick",   "kickBlacklist", "report"};
constexpr std::string_view kModeNames[] = {"contains", "whole", "regex"};

template <typename E, size_t N>
bool Parse(const json& j, const std::string_view (&names)[N], E& out) {
  if (!j.is_string()) return false;
  const auto& s = j.get_ref<const std::string&>();
  for (size_t i = 0; i < N; ++i)
    if (s == names[i]) {
      out = static_cast<E>(i);
      return true;
    }
  return false;
}

// Reads the problems of one rule with its id and name attached.
struct Reporter {
  const Rule* rule = nullptr;
  std::vector<Problem>& out;
  void operator()(std::string field, std::string message) const {
    out.push_back(Problem{rule ? rule->id : "", rule ? rule->name : "", std::move(field),
                          std::move(message)});
  }
};

// Calls `each(i, element)` for every element of the list under `key`; a value
// there that is no list is reported under `field` (none and null are an empty
// list).
template <typename Each>
void ForEachListed(const json& j, const char* key, const Reporter& report, const char* field,
                   const char* notAList, Each each) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return;
  if (!it->is_array()) {
    report(field, notAList);
    return;
  }
  for (size_t i = 0; i < it->size(); ++i) each(i, (*it)[i]);
}

bool ReadInt(const json& j, const char* key, int64_t& out, const Reporter& report,
             const std::string& field, const char* label, bool required) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) {
    if (required) report(field, std::string("请填写") + label);
    return false;
  }
  if (it->is_number_integer()) {
    out = it->get<int64_t>();
    return true;
  }
  if (it->is_number_float() && it->get<double>() == static_cast<double>(it->get<int64_t>())) {
    out = it->get<int64_t>();
    return true;
  }
  report(field, std::string(label) + "应当是一个整数");
  return false;
}

bool ReadBool(const json& j, const char* key, bool& out, const Reporter& report,
              const std::string& field, const char* label) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return false;
  if (it->is_boolean()) {
    out = it->get<bool>();
    return true;
  }
  report(field, std::string(label) + "应当是开或关");
  return false;
}

std::vector<std::string> ReadStrings(const json& j, const char* key, const Reporter& report,
                                     const std::string& field, const char* label) {
  std::vector<std::string> out;
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return out;
  if (!it->is_array()) {
    report(field, std::string(label) + "应当是一个列表");
    return out;
  }
  for (const auto& e : *it) {
    if (e.is_string())
      out.push_back(e.get<std::string>());
    else
      report(field, std::string(label) + "里有一项不是文字");
  }
  return out;
}

void CheckRange(int64_t v, int64_t lo, int64_t hi, const Reporter& report, const std::string& field,
                const std::string& label) {
  if (v < lo || v > hi)
    report(field, label + "应在 " + std::to_string(lo) + " 到 " + std::to_string(hi) +
                      " 之间（现在是 " + std::to_string(v) + "）");
}

Trigger TriggerFromJson(const json& j, const Reporter& report) {
  Trigger t;
  if (!j.is_object()) {
    report("trigger", "请选择触发条件");
    return t;
  }
  const auto kind = j.find("kind");
  if (kind == j.end() || !Parse(*kind, kTriggerNames, t.kind)) {
    report("trigger.kind",
           "触发条件的种类不认识，请重新选择（关键词、刷屏、重复、多人重复、@人、链接和卡片）");
    return t;
  }
  switch (t.kind) {
    case TriggerKind::kWords: {
      const auto words = j.find("words");
      if (words != j.end() && words->is_array()) {
        for (const auto& w : *words) {
          Word word;
          if (w.is_string()) {
            word.text = w.get<std::string>();
          } else if (w.is_object() && w.contains("text") && w["text"].is_string()) {
            word.text = w["text"].get<std::string>();
            if (w.contains("mode") && !Parse(w["mode"], kModeNames, word.mode))
              report("trigger.words",
                     "关键词「" + word.text + "」的匹配方式不认识，请选择包含、整句或正则表达式");
          } else {
            report("trigger.words", "关键词列表里有一项不是文字");
            continue;
          }
          t.words.push_back(std::move(word));
        }
      } else if (words != j.end() && !words->is_null()) {
        report("trigger.words", "关键词应当是一个列表");
      }
      t.allow = ReadStrings(j, "allow", report, "trigger.allow", "例外词");
      break;
    }
    case TriggerKind::kFlood:
    case TriggerKind::kRepeat:
    case TriggerKind::kRaid:
      ReadInt(j, "count", t.count, report, "trigger.count", "条数", true);
      ReadInt(j, "seconds", t.seconds, report, "trigger.seconds", "时间（秒）", true);
      break;
    case TriggerKind::kMentions:
      ReadInt(j, "count", t.count, report, "trigger.count", "@人数", false);
      ReadBool(j, "everyone", t.everyone, report, "trigger.everyone", "@全体成员");
      break;
    case TriggerKind::kLinks:
      ReadBool(j, "urls", t.urls, report, "trigger.urls", "网址");
      t.allowDomains = ReadStrings(j, "allowDomains", report, "trigger.allowDomains", "允许的域名");
      ReadBool(j, "numbers", t.numbers, report, "trigger.numbers", "QQ号或群号");
      ReadBool(j, "cards", t.cards, report, "trigger.cards", "分享卡片");
      break;
  }
  return t;
}

json TriggerToJson(const Trigger& t) {
  json j{{"kind", TriggerName(t.kind)}};
  switch (t.kind) {
    case TriggerKind::kWords: {
      json words = json::array();
      for (const auto& w : t.words)
        words.push_back({{"text", w.text}, {"mode", WordModeName(w.mode)}});
      j["words"] = std::move(words);
      j["allow"] = t.allow;
      break;
    }
    case TriggerKind::kFlood:
    case TriggerKind::kRepeat:
    case TriggerKind::kRaid:
      j["count"] = t.count;
      j["seconds"] = t.seconds;
      break;
    case TriggerKind::kMentions:
      j["count"] = t.count;
      j["everyone"] = t.everyone;
      break;
    case TriggerKind::kLinks:
      j["urls"] = t.urls;
      j["allowDomains"] = t.allowDomains;
      j["numbers"] = t.numbers;
      j["cards"] = t.cards;
      break;
  }
  return j;
}

json ActionToJson(const Action& a) {
  json j{{"kind", ActionName(a.kind)}};
  if (a.kind == ActionKind::kWarn) j["text"] = a.text;
  if (a.kind == ActionKind::kPoints) j["count"] = a.count;
  if (a.kind == ActionKind::kMute) j["seconds"] = a.seconds;
  return j;
}

Action ActionFromJson(const json& j, const Reporter& report, size_t index) {
  Action a;
  const std::string field = "actions[" + std::to_string(index) + "]";
  if (!j.is_object() || !j.contains("kind") || !Parse(j["kind"], kActionNames, a.kind)) {
    report(field, "第 " + std::to_string(index + 1) + " 个动作不认识，请重新选择");
    return a;
  }
  if (a.kind == ActionKind::kWarn) {
    if (j.contains("text") && j["text"].is_string()) a.text = j["text"].get<std::string>();
  }
  if (a.kind == ActionKind::kPoints)
    ReadInt(j, "count", a.count, report, field + ".count", "警告点数", true);
  if (a.kind == ActionKind::kMute)
    ReadInt(j, "seconds", a.seconds, report, field + ".seconds", "禁言时长（秒）", true);
  return a;
}

bool IsDomain(std::string_view d) {
  if (d.empty() || d.size() > 253 || d.front() == '.' || d.back() == '.') return false;
  for (char c : d) {
    const auto u = static_cast<unsigned char>(c);
    if (!(std::isalnum(u) || c == '-' || c == '.' || u >= 0x80)) return false;
  }
  return true;
}

// Texts of 4000 characters that make nested or overlapping repetition
// backtrack: a pattern that gives up on them would give up on a long message.
const std::vector<std::string>& HardTexts() {
  static const std::vector<std::string> texts = [] {
    std::string words;
    for (int i = 0; i < 1000; ++i) words += "aa1 ";
    return std::vector<std::string>{words + "!", std::string(4000, 'a') + "!"};
  }();
  return texts;
}

}  // namespace

std::string Problem::text() const {
  std::string where;
  if (!ruleName.empty())
    where = "规则「" + ruleName + "」：";
  else if (!ruleId.empty())
    where = "规则 " + ruleId + "：";
  return where + message;
}

std::string_view StateName(RuleState s) { return kStateNames[static_cast<int>(s)]; }
std::string_view TriggerName(TriggerKind k) { return kTriggerNames[static_cast<int>(k)]; }
std::string_view ActionName(ActionKind k) { return kActionNames[static_cast<int>(k)]; }
std::string_view WordModeName(WordMode m) { return kModeNames[static_cast<int>(m)]; }

json ToJson(const Rule& r) {
  json j{{"id", r.id}, {"name", r.name}, {"state", StateName(r.state)}};
  j["groups"] = r.allGroups ? json("all") : json(r.groups);
  j["trigger"] = TriggerToJson(r.trigger);
  j["newcomerDays"] = r.newcomerDays;
  json actions = json::array();
  for (const auto& a : r.actions) actions.push_back(ActionToJson(a));
  j["actions"] = std::move(actions);
  return j;
}

json ToJson(const Ladder& l) {
  json steps = json::array();
  for (const auto& s : l.steps) {
    json step{{"points", s.points}, {"action", ActionName(s.action)}};
    if (s.action == ActionKind::kMute) step["seconds"] = s.seconds;
    steps.push_back(std::move(step));
  }
  return json{{"days", l.days}, {"steps", std::move(steps)}};
}

json ToJson(const RuleSet& set) {
  json rules = json::array();
  for (const auto& r : set.rules) rules.push_back(ToJson(r));
  return json{{"rules", std::move(rules)},
              {"ladder", ToJson(set.ladder)},
              {"reportGroup", set.reportGroup},
              {"canRecall", set.canRecall}};
}

Rule RuleFromJson(const json& j, std::vector<Problem>& problems) {
  Rule r;
  Reporter report{&r, problems};
  if (!j.is_object()) {
    report("", "规则应当是一个对象");
    return r;
  }
  if (j.contains("id") && j["id"].is_string()) r.id = j["id"].get<std::string>();
  if (j.contains("name") && j["name"].is_string()) r.name = j["name"].get<std::string>();
  if (j.contains("state") && !Parse(j["state"], kStateNames, r.state)) {
    report("state", "状态不认识，请选择开启、仅观察或关闭");
    r.state = RuleState::kOff;
  }
  if (const auto g = j.find("groups"); g != j.end() && !g->is_null()) {
    if (g->is_string() && g->get<std::string>() == "all") {
      r.allGroups = true;
    } else if (g->is_array()) {
      r.allGroups = false;
      for (const auto& e : *g) {
        if (e.is_number_integer())
          r.groups.push_back(e.get<int64_t>());
        else if (e.is_string() && !e.get<std::string>().empty() &&
                 e.get<std::string>().find_first_not_of("0123456789") == std::string::npos &&
                 e.get<std::string>().size() <= 18)
          r.groups.push_back(std::stoll(e.get<std::string>()));
        else
          report("groups", "适用的群里有一项不是群号");
      }
    } else {
      report("groups", "适用的群应当是“全部”或一组群号");
    }
  }
  r.trigger = TriggerFromJson(j.contains("trigger") ? j["trigger"] : json(), report);
  ReadInt(j, "newcomerDays", r.newcomerDays, report, "newcomerDays", "新成员天数", false);
  ForEachListed(
      j, "actions", report, "actions", "动作应当是一个列表",
      [&](size_t i, const json& e) { r.actions.push_back(ActionFromJson(e, report, i)); });
  for (auto& p : Validate(r)) problems.push_back(std::move(p));
  return r;
}

Ladder LadderFromJson(const json& j, std::vector<Problem>& problems) {
  Ladder l;
  Reporter report{nullptr, problems};
  if (j.is_null()) return l;
  if (!j.is_object()) {
    report("ladder", "警告阶梯应当是一个对象");
    return l;
  }
  ReadInt(j, "days", l.days, report, "ladder.days", "警告点有效天数", false);
  ForEachListed(
      j, "steps", report, "ladder.steps", "警告阶梯应当是一个列表", [&](size_t i, const json& e) {
        const std::string field = "ladder.steps[" + std::to_string(i) + "]";
        LadderStep step;
        if (!e.is_object()) {
          report(field, "警告阶梯的第 " + std::to_string(i + 1) + " 级不完整");
          return;
        }
        ReadInt(e, "points", step.points, report, field + ".points", "警告点数", true);
        if (!e.contains("action") || !Parse(e["action"], kActionNames, step.action))
          report(field + ".action", "警告阶梯的第 " + std::to_string(i + 1) + " 级的处罚不认识");
        if (step.action == ActionKind::kMute)
          ReadInt(e, "seconds", step.seconds, report, field + ".seconds", "禁言时长（秒）", true);
        l.steps.push_back(step);
      });
  for (auto& p : Validate(l)) problems.push_back(std::move(p));
  return l;
}

RuleSet FromJson(const json& j, std::vector<Problem>& problems) {
  RuleSet set;
  Reporter report{nullptr, problems};
  if (!j.is_object()) {
    report("", "规则集应当是一个对象");
    return set;
  }
  ForEachListed(j, "rules", report, "rules", "规则应当是一个列表",
                [&](size_t, const json& e) { set.rules.push_back(RuleFromJson(e, problems)); });
  if (j.contains("ladder")) set.ladder = LadderFromJson(j["ladder"], problems);
  ReadInt(j, "reportGroup", set.reportGroup, report, "reportGroup", "报告群", false);
  std::set<std::string> ids;
  for (const auto& r : set.rules)
    if (!r.id.empty() && !ids.insert(r.id).second)
      problems.push_back(
          Problem{r.id, r.name, "id", "有两条规则用了同一个编号，请删掉其中一条重新添加"});
  if (set.reportGroup < 0) report("reportGroup", "报告群应当是一个群号");
  return set;
}

std::vector<Problem> Validate(const Rule& r) {
  std::vector<Problem> out;
  Reporter report{&r, out};
  if (r.id.empty()) report("id", "规则缺少编号，请删掉它重新添加");
  if (r.name.empty()) report("name", "请给规则起一个名字");
  if (static_cast<int64_t>(r.name.size()) > kMaxRuleNameBytes)
    report("name", "规则的名字太长，请缩短");
  if (!r.allGroups && r.groups.empty()) report("groups", "请至少选择一个群，或选择全部群");
  for (int64_t g : r.groups)
    if (g <= 0) report("groups", "群号 " + std::to_string(g) + " 不对");
  CheckRange(r.newcomerDays, 0, kMaxNewcomerDays, report, "newcomerDays", "新成员天数");
  const Trigger& t = r.trigger;
  switch (t.kind) {
    case TriggerKind::kWords: {
      if (t.words.empty()) report("trigger.words", "关键词列表是空的，请至少填写一个词");
      if (static_cast<int64_t>(t.words.size()) > kMaxWordsPerRule)
        report("trigger.words",
               "关键词太多，一条规则最多 " + std::to_string(kMaxWordsPerRule) + " 个");
      int emptyWords = 0;
      for (const auto& w : t.words) {
        if (w.text.empty() || w.text.find_first_not_of(" \t\r\n") == std::string::npos) {
          ++emptyWords;
          continue;
        }
        if (w.mode != WordMode::kRegex) {
          if (static_cast<int64_t>(w.text.size()) > kMaxWordBytes)
            report("trigger.words", "关键词「" + w.text.substr(0, 30) + "…」太长，请缩短");
          continue;
        }
        if (static_cast<int64_t>(w.text.size()) > kMaxRegexBytes) {
          report("trigger.words", "正则表达式「" + w.text.substr(0, 30) + "…」太长，最多 " +
                                      std::to_string(kMaxRegexBytes) + " 个字节");
          continue;
        }
        RegexPattern p(w.text);
        if (!p.ok()) {
          report("trigger.words",
                 "正则表达式「" + w.text + "」写得不对，无法使用（" + p.error() + "）");
          continue;
        }
        if (p.search("")) {
          report("trigger.words",
                 "正则表达式「" + w.text + "」连空消息都能匹配，会命中每一条消息，请改写");
          continue;
        }
        bool exceeded = false;
        for (const auto& hard : HardTexts()) {
          bool e = false;
          p.search(hard, &e);
          exceeded |= e;
        }
        if (exceeded)
          report("trigger.words", "正则表达式「" + w.text +
                                      "」太复杂，遇到长消息会算不完，请简化（避免嵌套的重复）");
      }
      if (emptyWords > 0) report("trigger.words", "关键词列表里有空白的词，请删掉");
      break;
    }
    case TriggerKind::kFlood:
    case TriggerKind::kRepeat:
    case TriggerKind::kRaid:
      CheckRange(t.count, kMinWindowCount, kMaxWindowCount, report, "trigger.count",
                 t.kind == TriggerKind::kRaid ? "人数" : "条数");
      CheckRange(t.seconds, kMinWindowSeconds, kMaxWindowSeconds, report, "trigger.seconds",
                 "时间（秒）");
      break;
    case TriggerKind::kMentions:
      if (t.count == 0 && !t.everyone)
        report("trigger.count", "请填写@人数的上限，或勾选@全体成员");
      else if (t.count != 0)
        CheckRange(t.count, 1, kMaxMentions, report, "trigger.count", "@人数");
      break;
    case TriggerKind::kLinks:
      if (!t.urls && !t.numbers && !t.cards)
        report("trigger", "请至少勾选一项：网址、QQ号或群号、分享卡片");
      for (const auto& d : t.allowDomains)
        if (!IsDomain(d)) report("trigger.allowDomains", "「" + d + "」不是域名（例如 qq.com）");
      break;
  }
  if (r.actions.empty()) report("actions", "请至少选择一个动作");
  for (size_t i = 0; i < r.actions.size(); ++i) {
    const Action& a = r.actions[i];
    const std::string field = "actions[" + std::to_string(i) + "]";
    if (a.kind == ActionKind::kWarn) {
      if (a.text.empty()) report(field + ".text", "警告的内容是空的，请填写");
      if (static_cast<int64_t>(a.text.size()) > kMaxWarnBytes)
        report(field + ".text", "警告的内容太长，请缩短");
    }
    if (a.kind == ActionKind::kPoints)
      CheckRange(a.count, 1, kMaxPoints, report, field + ".count", "警告点数");
    if (a.kind == ActionKind::kMute)
      CheckRange(a.seconds, kMinMuteSeconds, kMaxMuteSeconds, report, field + ".seconds",
                 "禁言时长（秒）");
  }
  return out;
}

std::vector<Problem> Validate(const Ladder& l) {
  std::vector<Problem> out;
  Reporter report{nullptr, out};
  CheckRange(l.days, kMinLadderDays, kMaxLadderDays, report, "ladder.days", "警告点有效天数");
  int64_t last = 0;
  for (size_t i = 0; i < l.steps.size(); ++i) {
    const LadderStep& s = l.steps[i];
    const std::string field = "ladder.steps[" + std::to_string(i) + "]";
    CheckRange(s.points, 1, kMaxPoints, report, field + ".points", "警告阶梯的点数");
    if (s.points <= last)
      report(field + ".points", "警告阶梯的点数要一级比一级多，请按从少到多排列");
    last = s.points;
    if (s.action != ActionKind::kWarn && s.action != ActionKind::kMute &&
        s.action != ActionKind::kKick)
      report(field + ".action", "警告阶梯的处罚只能是警告、禁言或踢出");
    if (s.action == ActionKind::kMute)
      CheckRange(s.seconds, kMinMuteSeconds, kMaxMuteSeconds, report, field + ".seconds",
                 "禁言时长（秒）");
  }
  return out;
}

std::vector<Problem> Validate(const RuleSet& set) { return Validate(set, {}); }

std::vector<Problem> Validate(const RuleSet& set,
                              const std::function<bool(const Rule&)>& unchecked) {
  std::vector<Problem> out;
  std::set<std::string> ids;
  for (const auto& r : set.rules) {
    if (!unchecked || !unchecked(r))
      for (auto& p : Validate(r)) out.push_back(std::move(p));
    if (!r.id.empty() && !ids.insert(r.id).second)
      out.push_back(
          Problem{r.id, r.name, "id", "有两条规则用了同一个编号，请删掉其中一条重新添加"});
  }
  for (auto& p : Validate(set.ladder)) out.push_back(std::move(p));
  if (set.reportGroup < 0) out.push_back(Problem{"", "", "reportGroup", "报告群应当是一个群号"});
  return out;
}

}  // namespace bw::automod
