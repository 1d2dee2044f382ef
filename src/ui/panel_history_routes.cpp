// 消息记录 and 试一试历史: which groups keep their messages (and for how many
// days), and rule sets tried on what they kept (core/history_trial.h).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <map>
#include <regex>
#include <string>

#include "core/history_trial.h"
#include "moderation/message_history.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/message_history_table.h"
#include "ui/panel_routes.h"
#include "util/local_time.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw::ui {
namespace {

constexpr int64_t kDaySeconds = 86400;

// A positive number of at most 18 digits, not starting with 0; else 0.
int64_t Digits(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.front() == '0' ||
      text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoll(text);
}

// A group number as text or integer; 0 for anything else.
int64_t GroupField(const Json& body, const char* key) {
  const auto it = body.find(key);
  if (it == body.end()) return 0;
  if (it->is_number_unsigned()) return Digits(std::to_string(it->get<uint64_t>()));
  return it->is_string() ? Digits(it->get<std::string>()) : 0;
}

// "YYYY-MM-DD" as the Unix seconds of that local midnight; nullopt for text
// that is no date of the calendar.
std::optional<int64_t> DateField(const Json& body, const char* key) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_string()) return std::nullopt;
  static const std::regex kDate("([0-9]{4})-([0-9]{2})-([0-9]{2})");
  std::smatch m;
  const std::string text = it->get<std::string>();
  if (!std::regex_match(text, m, kDate)) return std::nullopt;
  const int y = std::stoi(m[1]), mo = std::stoi(m[2]), d = std::stoi(m[3]);
  const int64_t t = std::chrono::system_clock::to_time_t(LocalTime(y, mo, d));
  std::tm back{};
  // mktime moves 02-30 to 03-02: a date that does not come back is none.
  if (!LocalCalendar(static_cast<std::time_t>(t), back) || back.tm_year + 1900 != y ||
      back.tm_mon + 1 != mo || back.tm_mday != d)
    return std::nullopt;
  return t;
}

bool Managed(PanelContext& ctx, int64_t group) {
  return ctx.robot.lifecycle().managedGroups().contains(group);
}

// The listed groups with their history days and kept rows.
Json HistoryGroups(PanelContext& ctx) {
  Lifecycle& l = ctx.robot.lifecycle();
  const auto days = ParseHistoryGroups(l.settings().text(opt::kHistoryGroups));
  const int64_t self = Digits(l.loginAccount());
  Json list = Json::array();
  for (const ListRow& r : l.lists().groups.rows()) {
    if (r.cells.size() < 3) continue;
    const std::string& number = r.cells[1];
    const int64_t group = Digits(number);
    if (group == 0) continue;
    const auto it = days.find(group);
    list.push_back({{"group", number},
                    {"name", r.cells[2]},
                    {"managed", Managed(ctx, group)},
                    {"days", it == days.end() ? 0 : it->second},
                    {"kept", self ? ctx.robot.modules.historyTable.count(self, group) : 0}});
  }
  return list;
}

Json TrialJson(const TrialOutcome& o) {
  Json perRule = Json::array();
  for (const auto& [rule, n] : o.perRule) perRule.push_back({{"rule", rule}, {"cases", n}});
  std::vector<std::pair<int64_t, size_t>> members(o.perMember.begin(), o.perMember.end());
  std::stable_sort(members.begin(), members.end(),
                   [](const auto& a, const auto& b) { return a.second > b.second; });
  Json perMember = Json::array();
  for (const auto& [member, n] : members)
    perMember.push_back({{"member", std::to_string(member)}, {"cases", n}});
  Json listed = Json::array();
  for (const TrialCase& c : o.listed)
    listed.push_back({{"time", DateTimeText(std::chrono::system_clock::from_time_t(c.time))},
                      {"member", std::to_string(c.member)},
                      {"rule", c.ruleName},
                      {"watch", c.watch},
                      {"reason", c.reason},
                      {"actions", c.actions},
                      {"evidence", c.evidence}});
  return Json{{"messages", o.messages}, {"cases", o.cases},       {"cut", o.cut},
              {"perRule", perRule},     {"perMember", perMember}, {"listed", listed}};
}

// The rules to try: the robot's current set, or a rule being edited, alone
// (switched on if it is off: the owner asks what it would do). False with the
// owner's message when the edited rule does not hold.
bool RulesToTry(PanelContext& ctx, const Json* edited, automod::RuleSet& out,
                std::string& problem) {
  out = ctx.robot.modules.automod.rules();
  if (!edited) return true;
  std::vector<automod::Problem> problems;
  automod::Rule rule = automod::RuleFromJson(*edited, problems);
  // Reading may have found what validating finds again: each is said once.
  for (automod::Problem& p : automod::Validate(rule)) {
    const bool known = std::any_of(problems.begin(), problems.end(),
                                   [&](const automod::Problem& q) { return q.text() == p.text(); });
    if (!known) problems.push_back(std::move(p));
  }
  if (!problems.empty()) {
    problem = "规则有误, 请先改正: ";
    for (size_t i = 0; i < problems.size() && i < 5; ++i)
      problem += (i ? "; " : "") + problems[i].text();
    return false;
  }
  if (rule.state == automod::RuleState::kOff) rule.state = automod::RuleState::kOn;
  out.rules = {std::move(rule)};
  return true;
}

}  // namespace

void AddHistoryRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/history", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"groups", HistoryGroups(ctx)},
                       {"maxDays", kHistoryMaxDays},
                       {"maxPerGroup", kHistoryMaxPerGroup},
                       {"ready", ctx.robot.startedUp()}});
  });

  // One group's days: 0 stops keeping its messages and deletes the kept ones.
  server.Post("/api/history/groups", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body =
        JsonBody(req, res, "请求应为 {\"group\": 群号, \"days\": 天数 (0 到 30)}");
    if (!body) return;
    const int64_t group = GroupField(*body, "group");
    if (group == 0) {
      SendError(res, 400, "群号 应为数字 (群列表中的群号)");
      return;
    }
    const auto days = body->find("days");
    if (days == body->end() || !days->is_number_integer() || days->get<int64_t>() < 0 ||
        days->get<int64_t>() > kHistoryMaxDays) {
      SendError(res, 400, "保留天数必须是 0 到 30 之间的整数 (0 表示不记录)");
      return;
    }
    if (days->get<int64_t>() > 0 && !Managed(ctx, group)) {
      SendError(res, 400,
                "群 " + std::to_string(group) + " 没有勾选监控: 机器人收不到它的消息, 无法记录");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    Settings& settings = ctx.robot.lifecycle().settings();
    auto groups = ParseHistoryGroups(settings.text(opt::kHistoryGroups));
    groups[group] = days->get<int64_t>();
    settings.setText(opt::kHistoryGroups, HistoryGroupsText(groups));
    ctx.robot.modules.store.SaveAllSettings();
    // Fewer days, or none: what is no longer wanted goes now, not in an hour.
    ctx.robot.modules.history.prune();
    LogInfo("settings panel: group " + std::to_string(group) + " keeps its messages " +
            std::to_string(days->get<int64_t>()) + " days");
    SendJson(res, Json{{"groups", HistoryGroups(ctx)}});
  });

  server.Post("/api/history/try", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body = JsonBody(
        req, res,
        "请求应为 {\"group\": 群号, \"from\": \"年-月-日\", \"to\": \"年-月-日\", \"rule\": 规则 "
        "(可选)}");
    if (!body) return;
    TrialRequest request;
    request.group = GroupField(*body, "group");
    if (request.group == 0) {
      SendError(res, 400, "群号 应为数字 (群列表中的群号)");
      return;
    }
    if (!Managed(ctx, request.group)) {
      SendError(res, 400, "群 " + std::to_string(request.group) + " 没有勾选监控, 不能试");
      return;
    }
    const std::optional<int64_t> from = DateField(*body, "from");
    const std::optional<int64_t> to = DateField(*body, "to");
    if (!from || !to) {
      SendError(res, 400, std::string(!from ? "开始日期" : "结束日期") + " 应为 年-月-日");
      return;
    }
    if (*to < *from) {
      SendError(res, 400, "结束日期 不能早于 开始日期");
      return;
    }
    // Whole days: a clock change may make one 23 or 25 hours long.
    if ((*to - *from + kDaySeconds / 2) / kDaySeconds + 1 > kTrialMaxDays) {
      SendError(res, 400, "日期范围最多 30 天, 请缩短范围");
      return;
    }
    request.from = *from;
    request.to = *to + kDaySeconds;
    std::string problem;
    if (!RulesToTry(ctx, body->contains("rule") ? &(*body)["rule"] : nullptr, request.rules,
                    problem)) {
      SendError(res, 400, problem);
      return;
    }
    TrialOutcome outcome;
    if (Status s = TryRulesOnHistory(ctx.robot, request, outcome); !s) {
      LogWarning("settings panel: trying rules on the history failed: " + s.message());
      SendError(res, 500, "试一试历史失败: " + s.message());
      return;
    }
    SendJson(res, TrialJson(outcome));
  });
}

}  // namespace bw::ui
