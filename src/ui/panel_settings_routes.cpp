#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "settings/list_model.h"
#include "ui/panel_pages.h"
#include "ui/panel_routes.h"
#include "util/log.h"
#include "util/text.h"

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

std::vector<std::string> ColumnOf(const ListModel& list, size_t column) {
  std::vector<std::string> out;
  for (const ListRow& r : list.rows())
    out.push_back(r.cells.size() > column ? r.cells[column] : "");
  return out;
}

std::optional<std::vector<std::string>> GroupNumbers(const Json& body, const char* key) {
  const auto it = body.find(key);
  if (it == body.end() || !it->is_array()) return std::nullopt;
  std::vector<std::string> out;
  for (const Json& v : *it) {
    const std::string text = v.is_string() ? v.get<std::string>() : v.dump();
    if (!IsAccountNumber(text)) return std::nullopt;
    out.push_back(text);
  }
  return out;
}

void AnswerRouteException(const httplib::Request& req, httplib::Response& res,
                          std::exception_ptr failure) {
  try {
    std::rethrow_exception(failure);
  } catch (const Json::exception& e) {
    // Reading a field as the type it should have had (a .value() or .get()
    // of the wrong type): the request is at fault, and nothing was changed
    // yet, since every route checks its fields before it changes anything.
    LogWarning("settings panel: refused " + req.path + ": a field has the wrong type (" + e.what() +
               ")");
    SendError(res, 400, "请求里有字段的类型不对 (例如应为文字的地方给了数字或列表)");
  } catch (const std::exception& e) {
    LogError("settings panel: " + req.path + " failed: " + e.what());
    SendError(res, 500, "服务内部错误");
  } catch (...) {
    LogError("settings panel: " + req.path + " failed");
    SendError(res, 500, "服务内部错误");
  }
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
    Settings& settings = ctx.robot.lifecycle().settings();
    std::vector<std::string> restored;
    const std::string error = ApplyChanges(settings, body["changes"], &restored);
    if (!error.empty()) {
      LogWarning("settings panel: refused a change: " + error);
      SendError(res, 400, error);
      return;
    }
    ctx.robot.modules.store.SaveAllSettings();
    Json answer = ctx.statusJson();
    // The page shows the default the emptied box took, and says why.
    answer["restored"] = Json::array();
    for (const std::string& name : restored) {
      const std::string& label = Settings::Find(name)->label;
      answer["restored"].push_back(
          {{"name", name},
           {"value", settings.text(name)},
           {"message", "已恢复默认值: " + label +
                           "不能留空, 清空后会用回默认内容; 不想用它请取消勾选它的开关"}});
    }
    SendJson(res, answer);
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
    // Rows are named by group number, with the list the page showed: another
    // page may have refilled the list since, and a row number alone would
    // then manage another group than the one clicked.
    if (body.is_object() && body.contains("all") && body["all"] == true) {
      const std::optional<std::vector<std::string>> shown = GroupNumbers(body, "groups");
      if (!shown) {
        SendError(res, 400, "请求应为 {\"all\": true, \"groups\": [页面上列出的群号, ...]}");
        return;
      }
      if (*shown != ColumnOf(groups, groupcol::kGroup)) {
        SendError(res, 409, kListChanged);
        return;
      }
      ctx.robot.modules.memberRefresh.onColumnTitleClicked(0);  // the "勾选" header
    } else {
      const Json group = body.is_object() ? body.value("group", Json()) : Json();
      const Json row = body.is_object() ? body.value("row", Json()) : Json();
      if (!group.is_string() || !IsAccountNumber(group.get<std::string>()) ||
          !(row.is_null() || row.is_number_unsigned()) || !body.contains("checked") ||
          !body["checked"].is_boolean()) {
        SendError(res, 400,
                  "请求应为 {\"group\": \"群号\", \"row\": 页面上的行号, \"checked\": true 或 "
                  "false}");
        return;
      }
      const std::vector<std::string> numbers = ColumnOf(groups, groupcol::kGroup);
      const auto at = std::find(numbers.begin(), numbers.end(), group.get<std::string>());
      const size_t index = static_cast<size_t>(at - numbers.begin());
      if (at == numbers.end() || (row.is_number_unsigned() && row.get<size_t>() != index)) {
        LogWarning("settings panel: refused a tick of group " + group.get<std::string>() +
                   ": the group list has changed");
        SendError(res, 409, kListChanged);
        return;
      }
      const bool checked = body["checked"].get<bool>();
      groups.setChecked(index, checked);
      ctx.robot.modules.memberRefresh.onGroupTicksChanged(index, checked);
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
