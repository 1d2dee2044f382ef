// 消息记录 and 试一试历史: which groups keep their messages (and for how many
// days), and rule sets tried on what they kept (core/history_trial.h).
#include <chrono>
#include <ctime>
#include <map>
#include <regex>
#include <string>

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

}  // namespace

void AddHistoryRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/history", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"groups", HistoryGroups(ctx)},
                       {"maxDays", kHistoryMaxDays},
                       {"maxPerGroup", kHistoryMaxPerGroup},
                       {"ready", ctx.robot.startedUp()}});
  });

  // One group's days: 0 stops keeping its messages (the kept ones go at the
  // next hourly pass).
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
    LogInfo("settings panel: group " + std::to_string(group) + " keeps its messages " +
            std::to_string(days->get<int64_t>()) + " days");
    SendJson(res, Json{{"groups", HistoryGroups(ctx)}});
  });
}

}  // namespace bw::ui
