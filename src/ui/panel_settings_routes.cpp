#include <cstddef>

#include "settings/list_model.h"
#include "ui/panel_pages.h"
#include "ui/panel_routes.h"
#include "util/log.h"

namespace bw::ui {

namespace {
constexpr size_t kMaxRunLogAnswer = 500;
}  // namespace

void SendJson(httplib::Response& res, const Json& body, int status) {
  res.status = status;
  res.set_content(body.dump(), "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& message) {
  SendJson(res, Json{{"error", message}}, status);
}

std::optional<Json> JsonBody(const httplib::Request& req, httplib::Response& res,
                             const std::string& usage) {
  Json body = Json::parse(req.body, nullptr, false);
  if (!body.is_object()) {
    SendError(res, 400, usage);
    return std::nullopt;
  }
  return body;
}

Json ListJson(const ListModel& list) {
  Json rows = Json::array();
  for (const ListRow& r : list.rows()) rows.push_back({{"checked", r.checked}, {"cells", r.cells}});
  return Json{{"columns", list.columns()}, {"rows", rows}};
}

bool SettingsLoaded(PanelContext& ctx, httplib::Response& res) {
  if (ctx.robot.startedUp()) return true;
  SendError(res, 409, "设置尚未载入 (服务在等待 OneBot 实现连接), 请稍后再改");
  return false;
}

void AddSettingsRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/page", [&ctx](const httplib::Request& req, httplib::Response& res) {
    const std::string name = req.get_param_value("name");
    std::optional<Json> page = OptionPage(name, ctx.robot.lifecycle().settings());
    if (!page) {
      SendError(res, 404, "没有这个设置页: " + name);
      return;
    }
    SendJson(res, *page);
  });
  server.Post("/api/settings", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const Json body = Json::parse(req.body, nullptr, false);
    if (!body.is_object() || !body.contains("changes")) {
      SendError(res, 400, "请求应为 {\"changes\": {...}}");
      return;
    }
    std::lock_guard lock(ctx.saveMu);  // one change and its save at a time
    const std::string error = ApplyChanges(ctx.robot.lifecycle().settings(), body["changes"]);
    if (!error.empty()) {
      LogWarning("settings panel: refused a change: " + error);
      SendError(res, 400, error);
      return;
    }
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, ctx.statusJson());
  });
  // 群设置: the group list; its ticked rows are the managed groups.
  server.Get("/api/groups", [&ctx](const httplib::Request&, httplib::Response& res) {
    Json answer = ListJson(ctx.robot.lifecycle().lists().groups);
    answer["columns"][0] = "勾选";  // the tick column's header, which ticks all or none
    answer["title"] = "群列表--只显示自己创建的群和有管理权限的群";
    answer["hints"] = {"如果找不到群请点击上面的刷新群列表,如果还是找不到 可能是没有管理员权限",
                       "第一次或长时间没有登录群请刷新群成员", "禁止一号多群和加黑全局踢需要用到"};
    SendJson(res, answer);
  });
  server.Post("/api/groups/tick", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const Json body = Json::parse(req.body, nullptr, false);
    ListModel& groups = ctx.robot.lifecycle().lists().groups;
    std::lock_guard lock(ctx.saveMu);
    if (body.is_object() && body.value("all", false) == true) {
      ctx.robot.modules.memberRefresh.onColumnTitleClicked(0);  // the "勾选" header
    } else {
      if (!body.is_object() || !body.contains("row") || !body["row"].is_number_unsigned() ||
          !body.contains("checked") || !body["checked"].is_boolean() ||
          body["row"].get<size_t>() >= groups.rowCount()) {
        SendError(res, 400, "请求应为 {\"row\": 群列表的行号, \"checked\": true 或 false}");
        return;
      }
      const size_t row = body["row"].get<size_t>();
      const bool checked = body["checked"].get<bool>();
      groups.setChecked(row, checked);
      ctx.robot.modules.memberRefresh.onGroupTicksChanged(row, checked);
    }
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, ctx.statusJson());
  });
  server.Get("/api/runlog", [&ctx](const httplib::Request& req, httplib::Response& res) {
    int64_t after = 0;
    const std::string text = req.get_param_value("after");
    if (!text.empty() && text.size() < 19 &&
        text.find_first_not_of("0123456789") == std::string::npos)
      after = std::stoll(text);
    Json list = Json::array();
    for (const RunLogEntry& e :
         ctx.robot.lifecycle().runLog().entriesAfter(after, kMaxRunLogAnswer)) {
      list.push_back({{"id", e.id},
                      {"time", e.time},
                      {"type", e.type.empty() ? "信息" : e.type},
                      {"message", e.message},
                      {"red", e.red}});
    }
    SendJson(res, Json{{"entries", list}});
  });
}

}  // namespace bw::ui
