// What the panel's route files share: the state a handler may use and the
// helpers that shape its answers. Each area of the panel (settings and groups,
// lists, the pages of 更多功能, the sandbox) adds its own routes in a file of
// its own through one Add…Routes function, called from PanelServer.
//
// Thread-safety: handlers run on the server's pool threads; anything that
// changes settings, lists or files holds `saveMu` for the change and its save.
#pragma once

#include <httplib.h>

#include <exception>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/robot_core.h"
#include "settings/list_model.h"
#include "ui/panel_server.h"

namespace bw::ui {

using Json = nlohmann::json;

struct PanelContext {
  RobotCore& robot;
  ConnectionStatus& status;
  std::mutex& saveMu;                // one change and its save at a time
  std::function<Json()> statusJson;  // the answer of /api/status
};

void SendJson(httplib::Response& res, const Json& body, int status = 200);
void SendError(httplib::Response& res, int status, const std::string& message);

// The request's body as a JSON object; otherwise answers 400 with `usage` (what
// the request should look like) and returns nullopt.
std::optional<Json> JsonBody(const httplib::Request& req, httplib::Response& res,
                             const std::string& usage);

// A list view as the page draws it: {"columns": [...], "rows": [{"checked", "cells"}]}.
Json ListJson(const ListModel& list);

// The answer to an action on rows that are gone or changed since the page drew
// them (another page refilled the list): nothing is done.
inline constexpr char kListChanged[] = "列表已经变了, 请看一下新的列表再操作";

// The cells of one column, row by row.
std::vector<std::string> ColumnOf(const ListModel& list, size_t column);

// body[key] as group or account numbers (text or integers); nullopt when it is
// missing, not an array, or holds anything else.
std::optional<std::vector<std::string>> GroupNumbers(const Json& body, const char* key);

// The answer of every route that threw: a JSON field of the wrong type (a
// number where text belongs) is the request's fault, 400 with a clear message;
// anything else 500. The server's exception handler.
void AnswerRouteException(const httplib::Request& req, httplib::Response& res,
                          std::exception_ptr failure);

// False (and a 409 answer) while the startup has not restored the settings
// files yet: a change made then would be overwritten by them.
bool SettingsLoaded(PanelContext& ctx, httplib::Response& res);

// /api/page, /api/settings, /api/groups, /api/groups/tick, /api/runlog.
void AddSettingsRoutes(httplib::Server& server, PanelContext& ctx);
// The list pages: /api/groups/refresh…, /api/lists/… (panel_list_routes.cpp).
void AddListRoutes(httplib::Server& server, PanelContext& ctx);
// 更多功能: the keyword list, the timed tasks, the statistics and their chart.
void AddMoreRoutes(httplib::Server& server, PanelContext& ctx);
// /api/sandbox: 试一试.
void AddSandboxRoutes(httplib::Server& server, PanelContext& ctx);
// 自动管理: /api/automod/… (the rules, the warning ladder, the report group).
void AddAutomodRoutes(httplib::Server& server, PanelContext& ctx);
// 处罚记录: /api/cases, /api/cases/undo, /api/cases/export (panel_cases_routes.cpp).
void AddCasesRoutes(httplib::Server& server, PanelContext& ctx);
// 自动管理/入群验证: /api/verification (settings, pending), /api/verification/pass.
void AddVerificationRoutes(httplib::Server& server, PanelContext& ctx);
// /api/history…: 消息记录 and 试一试历史 (panel_history_routes.cpp).
void AddHistoryRoutes(httplib::Server& server, PanelContext& ctx);

}  // namespace bw::ui
