// 自动管理: the automatic-moderation rules, the warning ladder and the report
// group as the panel edits them. Every change reads the stored set, changes
// one thing, checks the whole set and saves it in one atomic write; anything
// refused is answered with what to fix and leaves the file as it was.
//
// A tab drawn before another tab's change names rules by their stable id (and
// an edit sends the rule as it was drawn): a rule that is gone or changed
// meanwhile answers 409 and nothing is done, as the list routes do.
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "automod/rule.h"
#include "automod/rule_file.h"
#include "settings/list_model.h"
#include "ui/panel_routes.h"
#include "util/log.h"

namespace bw::ui {
namespace {

namespace am = bw::automod;

constexpr char kRulesChanged[] = "规则已经在别处改过了, 请看一下新的规则再操作";
constexpr char kLadderChanged[] = "警告阶梯已经在别处改过了, 请看一下新的阶梯再修改";
// The most problems one answer lists; the rest are named by their count.
constexpr size_t kShownProblems = 5;

// The listed groups (群设置's list): number and name.
std::vector<std::pair<int64_t, std::string>> ListedGroups(PanelContext& ctx) {
  std::vector<std::pair<int64_t, std::string>> out;
  for (const ListRow& r : ctx.robot.lifecycle().lists().groups.rows()) {
    if (r.cells.size() < 3) continue;
    const std::string& number = r.cells[1];
    if (number.empty() || number.size() > 18 ||
        number.find_first_not_of("0123456789") != std::string::npos)
      continue;
    out.emplace_back(std::stoll(number), r.cells[2]);
  }
  return out;
}

// The most of a broken section's text the page shows (the file keeps all of it).
constexpr size_t kShownSectionBytes = 4000;

std::string ShownSection(const std::string& text) {
  if (text.size() <= kShownSectionBytes) return text;
  size_t end = kShownSectionBytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end) + "\n…";
}

Json Answer(PanelContext& ctx, const am::RuleSet& set) {
  Json j = am::ToJson(set);
  // Rules whose section in the file could not be read: kept off and written
  // back as they are until the owner replaces (edits) or deletes them. Beside
  // the rules, so a rule's JSON stays what an edit sends back as "before".
  Json broken = Json::array();
  for (const am::BrokenRule& b : ctx.robot.modules.automod.brokenRules())
    broken.push_back({{"id", b.id}, {"reason", b.reason}, {"text", ShownSection(b.text)}});
  j["broken"] = std::move(broken);
  j["canRecall"] = ctx.robot.lifecycle().host().canRecall();
  Json groups = Json::array();
  for (const auto& [number, name] : ListedGroups(ctx))
    groups.push_back({{"group", std::to_string(number)}, {"name", name}});
  j["groups"] = groups;
  return j;
}

// "规则「…」: …" lines, at most kShownProblems of them, each said once.
std::string ProblemsText(const std::vector<am::Problem>& problems) {
  std::vector<std::string> lines;
  for (const am::Problem& p : problems) {
    std::string line = p.text();
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  std::string out;
  for (size_t i = 0; i < lines.size() && i < kShownProblems; ++i) out += (i ? "\n" : "") + lines[i];
  if (lines.size() > kShownProblems)
    out += "\n(还有 " + std::to_string(lines.size() - kShownProblems) + " 处问题)";
  return out;
}

am::Rule* FindRule(am::RuleSet& set, const std::string& id) {
  for (am::Rule& r : set.rules)
    if (r.id == id) return &r;
  return nullptr;
}

// An id no rule of `set` has: r1, r2, … after the highest in use.
std::string FreshId(const am::RuleSet& set) {
  int64_t highest = 0;
  for (const am::Rule& r : set.rules) {
    if (r.id.size() < 2 || r.id.size() > 18 || r.id[0] != 'r' ||
        r.id.find_first_not_of("0123456789", 1) != std::string::npos)
      continue;
    highest = std::max<int64_t>(highest, std::stoll(r.id.substr(1)));
  }
  return "r" + std::to_string(highest + 1);
}

std::string TextField(const Json& body, const char* key) {
  const auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The panel-side checks of one rule beyond its own model: what this host can
// do, and a name the case list can tell apart from the others.
void CheckInSet(PanelContext& ctx, const am::RuleSet& set, const am::Rule& rule,
                std::vector<am::Problem>& problems) {
  auto problem = [&](const char* field, std::string message) {
    problems.push_back({rule.id, rule.name, field, std::move(message)});
  };
  if (!ctx.robot.lifecycle().host().canRecall()) {
    for (const am::Action& a : rule.actions)
      if (a.kind == am::ActionKind::kRecall) {
        problem("actions", "这个宿主不能撤回消息, 请从动作里去掉「撤回消息」");
        break;
      }
  }
  for (const am::Rule& other : set.rules)
    if (other.id != rule.id && other.name == rule.name) {
      problem("name", "已经有一条叫「" + rule.name + "」的规则了, 请换一个名称");
      break;
    }
}

// The rules in force (as the rule file held them, rules that could not be
// read kept off), or false (answered 409) before the data folder is known.
bool LoadSet(PanelContext& ctx, httplib::Response& res, am::RuleSet& set) {
  if (ctx.robot.lifecycle().dataDirectory().empty()) {
    SendError(res, 409, "机器人还没有启动完成, 请稍后再试");
    return false;
  }
  set = ctx.robot.modules.automod.rules();
  return true;
}

// Saves `set` and puts it in force unless the change brought `problems` (each
// route checks what it changes first, so the answer names it). The engine
// checks the whole set again before it writes, except a rule the file keeps
// off because its section could not be read: that one stays off and its text
// is written back as it was until it is replaced or deleted. Answers with the
// saved set, or with what to fix (nothing saved).
void StoreSet(PanelContext& ctx, httplib::Response& res, const am::RuleSet& set,
              std::vector<am::Problem> problems) {
  if (problems.empty()) problems = ctx.robot.modules.automod.setRules(set);
  if (!problems.empty()) {
    Json answer = {{"error", ProblemsText(problems)}, {"problems", Json::array()}};
    for (const am::Problem& p : problems)
      answer["problems"].push_back(
          {{"rule", p.ruleId}, {"field", p.field}, {"message", p.message}});
    LogInfo("settings panel: refused an automod change: " + problems.front().text());
    SendJson(res, answer, 400);
    return;
  }
  SendJson(res, Answer(ctx, ctx.robot.modules.automod.rules()));
}

void AddRuleRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/automod/rules", [&ctx](const httplib::Request&, httplib::Response& res) {
    std::lock_guard lock(ctx.saveMu);
    am::RuleSet set;
    if (LoadSet(ctx, res, set)) SendJson(res, Answer(ctx, set));
  });

  // Adds a rule (no id) or replaces the rule with its id; `before` is the rule
  // as the page drew it, so an edit over another tab's is refused.
  server.Post(
      "/api/automod/rules/save", [&ctx](const httplib::Request& req, httplib::Response& res) {
        const auto body = JsonBody(req, res, R"({"rule": {...}, "before": {...}})");
        if (!body) return;
        if (!body->contains("rule") || !(*body)["rule"].is_object()) {
          SendError(res, 400, "请求里没有规则");
          return;
        }
        std::lock_guard lock(ctx.saveMu);
        am::RuleSet set;
        if (!LoadSet(ctx, res, set)) return;
        // A new rule takes its id first: the model requires one of every rule.
        Json sent = (*body)["rule"];
        const bool added = !sent.contains("id") || !sent["id"].is_string() || sent["id"] == "";
        if (added) sent["id"] = FreshId(set);
        std::vector<am::Problem> problems;
        am::Rule rule = am::RuleFromJson(sent, problems);
        if (added) {
          // The fresh id means nothing to the owner yet: a nameless rule is the one in the form.
          for (am::Problem& p : problems)
            if (p.ruleName.empty()) p.ruleId.clear();
          CheckInSet(ctx, set, rule, problems);
          set.rules.push_back(rule);
        } else {
          am::Rule* stored = FindRule(set, rule.id);
          if (!stored || (body->contains("before") && (*body)["before"] != am::ToJson(*stored))) {
            SendError(res, 409, kRulesChanged);
            return;
          }
          CheckInSet(ctx, set, rule, problems);
          *stored = rule;
        }
        StoreSet(ctx, res, set, std::move(problems));
      });

  server.Post(
      "/api/automod/rules/state", [&ctx](const httplib::Request& req, httplib::Response& res) {
        const auto body = JsonBody(req, res, R"({"id": "r1", "state": "on|watch|off"})");
        if (!body) return;
        const std::string stateName = TextField(*body, "state");
        std::optional<am::RuleState> state;
        for (am::RuleState s : {am::RuleState::kOn, am::RuleState::kWatch, am::RuleState::kOff})
          if (am::StateName(s) == stateName) state = s;
        if (!state) {
          SendError(res, 400, "规则的状态只能是 开启、仅观察 或 关闭");
          return;
        }
        std::lock_guard lock(ctx.saveMu);
        am::RuleSet set;
        if (!LoadSet(ctx, res, set)) return;
        am::Rule* rule = FindRule(set, TextField(*body, "id"));
        if (!rule) {
          SendError(res, 409, kRulesChanged);
          return;
        }
        // A rule switched on or to watching must be sound (one the file kept
        // disabled for a fault is fixed in its form first).
        std::vector<am::Problem> problems;
        if (*state != am::RuleState::kOff) problems = am::Validate(*rule);
        rule->state = *state;
        StoreSet(ctx, res, set, std::move(problems));
      });

  // The new order names every rule once: a rule added or deleted meanwhile
  // makes it stale.
  server.Post(
      "/api/automod/rules/move", [&ctx](const httplib::Request& req, httplib::Response& res) {
        const auto body = JsonBody(req, res, R"({"order": ["r2", "r1"]})");
        if (!body) return;
        if (!body->contains("order") || !(*body)["order"].is_array()) {
          SendError(res, 400, "请求里没有规则的新顺序");
          return;
        }
        std::lock_guard lock(ctx.saveMu);
        am::RuleSet set;
        if (!LoadSet(ctx, res, set)) return;
        std::vector<am::Rule> ordered;
        std::set<std::string> seen;
        for (const Json& id : (*body)["order"]) {
          am::Rule* rule = id.is_string() ? FindRule(set, id.get<std::string>()) : nullptr;
          if (!rule || !seen.insert(rule->id).second) break;
          ordered.push_back(*rule);
        }
        if (ordered.size() != set.rules.size() || (*body)["order"].size() != set.rules.size()) {
          SendError(res, 409, kRulesChanged);
          return;
        }
        set.rules = std::move(ordered);
        StoreSet(ctx, res, set, {});
      });

  server.Post("/api/automod/rules/delete",
              [&ctx](const httplib::Request& req, httplib::Response& res) {
                const auto body = JsonBody(req, res, R"({"id": "r1"})");
                if (!body) return;
                std::lock_guard lock(ctx.saveMu);
                am::RuleSet set;
                if (!LoadSet(ctx, res, set)) return;
                const std::string id = TextField(*body, "id");
                const auto it = std::find_if(set.rules.begin(), set.rules.end(),
                                             [&](const am::Rule& r) { return r.id == id; });
                if (it == set.rules.end()) {
                  SendError(res, 409, kRulesChanged);
                  return;
                }
                set.rules.erase(it);
                StoreSet(ctx, res, set, {});
              });
}

void AddLadderRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Post("/api/automod/ladder", [&ctx](const httplib::Request& req, httplib::Response& res) {
    const auto body =
        JsonBody(req, res, R"({"ladder": {"days": 30, "steps": [...]}, "before": {...}})");
    if (!body) return;
    if (!body->contains("ladder") || !(*body)["ladder"].is_object()) {
      SendError(res, 400, "请求里没有警告阶梯");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    am::RuleSet set;
    if (!LoadSet(ctx, res, set)) return;
    if (body->contains("before") && (*body)["before"] != am::ToJson(set.ladder)) {
      SendError(res, 409, kLadderChanged);
      return;
    }
    std::vector<am::Problem> problems;
    set.ladder = am::LadderFromJson((*body)["ladder"], problems);
    StoreSet(ctx, res, set, std::move(problems));
  });

  // The report group is one of the account's listed groups, or 0 for none.
  server.Post("/api/automod/report", [&ctx](const httplib::Request& req, httplib::Response& res) {
    const auto body = JsonBody(req, res, R"({"reportGroup": 123456})");
    if (!body) return;
    const Json value = body->value("reportGroup", Json());
    std::string text = value.is_string() ? value.get<std::string>() : std::string();
    if (value.is_number_unsigned()) text = std::to_string(value.get<uint64_t>());
    int64_t group = -1;
    if (!text.empty() && text.size() <= 18 &&
        text.find_first_not_of("0123456789") == std::string::npos)
      group = std::stoll(text);
    if (group < 0) {
      SendError(res, 400, "报告群要填群号 (或选「不报告」)");
      return;
    }
    if (group != 0) {
      const auto listed = ListedGroups(ctx);
      if (std::none_of(listed.begin(), listed.end(),
                       [&](const auto& g) { return g.first == group; })) {
        SendError(res, 400,
                  "群 " + std::to_string(group) + " 不在群列表里: 请先在 群设置 里刷新群列表再选");
        return;
      }
    }
    std::lock_guard lock(ctx.saveMu);
    am::RuleSet set;
    if (!LoadSet(ctx, res, set)) return;
    set.reportGroup = group;
    StoreSet(ctx, res, set, {});
  });
}

}  // namespace

void AddAutomodRoutes(httplib::Server& server, PanelContext& ctx) {
  AddRuleRoutes(server, ctx);
  AddLadderRoutes(server, ctx);
}

}  // namespace bw::ui
