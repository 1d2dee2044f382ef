// The inner tabs of 更多功能 with actions of their own: the keyword list and its
// add box (关键词回复) and the timed tasks (定时功能); the statistics tab lives in
// panel_more_statistics.cpp. Every action goes through the module the window's
// button calls, with the add box's values from the request put into the add
// controls first, exactly as the window's boxes would hold them.
#include <algorithm>
#include <string>
#include <vector>

#include "settings/list_model.h"
#include "settings/option_names.h"
#include "tasks/task_list.h"
#include "ui/panel_more_statistics.h"
#include "ui/panel_pages.h"
#include "ui/panel_routes.h"
#include "util/log.h"

namespace bw::ui {
namespace {

// The list file separates cells with it: a cell holding it would split in two.
constexpr char kCellSeparator[] = "----";

struct ActionChoice {
  std::string_view action;
  const char* radio;
};
constexpr ActionChoice kActions[] = {
    {kActionSendMessage, opt::kTaskSendMessage}, {kActionAnnouncement, opt::kTaskAnnounce},
    {kActionWholeBan, opt::kTaskMuteAll},        {kActionLiftWholeBan, opt::kTaskUnmuteAll},
    {kActionHomework, opt::kTaskHomework},
};

// Checks a text for an edit box; the refusal names the box by its label.
std::string CheckText(const char* name, const Json& value, std::string* text) {
  bool unused = false;
  return CheckChange(name, value, text, &unused);
}

// The add controls' values, put back when the module refuses the add: a refused
// add leaves the settings as they were.
class ControlsSnapshot {
 public:
  ControlsSnapshot(Settings& s, std::vector<const char*> texts, std::vector<const char*> radios)
      : s_(s) {
    for (const char* n : texts) texts_.push_back({n, s.text(n)});
    for (const char* n : radios)
      if (s.checked(n)) radio_ = n;
  }
  void restore() {
    for (const auto& [name, text] : texts_) s_.setText(name, text);
    if (radio_) s_.setChecked(radio_, true);
  }

 private:
  Settings& s_;
  std::vector<std::pair<const char*, std::string>> texts_;
  const char* radio_ = nullptr;
};

Json KeywordsJson(PanelContext& ctx) {
  const Settings& s = ctx.robot.lifecycle().settings();
  Json j = ListJson(ctx.robot.lifecycle().lists().keywords);
  j["add"] = {{"keyword", s.text(opt::kReplyKeyword)},
              {"reply", s.text(opt::kReplyText)},
              {"count", s.text(opt::kReplyCount)},
              {"mode", s.checked(opt::kExactMatch) ? "精准" : "模糊"}};
  return j;
}

bool Connected(PanelContext& ctx) {
  return Json::parse(ctx.status.json(), nullptr, false).value("state", "") == "connected";
}

Json TasksJson(PanelContext& ctx) {
  const Settings& s = ctx.robot.lifecycle().settings();
  TaskScheduler& scheduler = ctx.robot.modules.scheduler;
  Json j = ListJson(ctx.robot.lifecycle().lists().tasks);
  std::string action = std::string(kActionSendMessage);
  for (const ActionChoice& a : kActions)
    if (s.checked(a.radio)) action = std::string(a.action);
  j["add"] = {
      {"time", s.text(opt::kTaskTime)}, {"action", action}, {"content", s.text(opt::kTaskContent)}};
  j["actions"] = Json::array();
  for (const ActionChoice& a : kActions) j["actions"].push_back(std::string(a.action));
  j["schedulerRunning"] = scheduler.schedulerRunning();
  j["runNowEnabled"] = scheduler.runNowEnabled();
  j["connected"] = Connected(ctx);
  return j;
}

// Rows chosen on the page, each with the texts of the key cells the page showed
// in it: "key" is one text for one key column, an array for several. A list
// changed meanwhile (another page) refuses instead of hitting other rows.
// Returns the row numbers, highest first, or nullopt after answering.
std::optional<std::vector<size_t>> ChosenRows(const Json& body, const ListModel& list,
                                              const std::vector<size_t>& columns,
                                              httplib::Response& res) {
  const Json rows = body.value("rows", Json());
  std::vector<size_t> out;
  if (!rows.is_array() || rows.empty()) {
    SendError(res, 400, "请先选择要操作的行");
    return std::nullopt;
  }
  for (const Json& r : rows) {
    Json key = r.is_object() ? r.value("key", Json()) : Json();
    if (key.is_string() && columns.size() == 1) key = Json::array({key});
    bool wellFormed = r.is_object() && r.contains("row") && r["row"].is_number_unsigned() &&
                      key.is_array() && key.size() == columns.size();
    for (const Json& k : key) wellFormed = wellFormed && k.is_string();
    if (!wellFormed) {
      SendError(res, 400,
                columns.size() == 1
                    ? "请求应为 {\"rows\": [{\"row\": 行号, \"key\": 行里的文字}, ...]}"
                    : "请求应为 {\"rows\": [{\"row\": 行号, \"key\": [行里的" +
                          std::to_string(columns.size()) + " 列文字]}, ...]}");
      return std::nullopt;
    }
    const size_t row = r["row"].get<size_t>();
    bool same = row < list.rowCount();
    for (size_t i = 0; same && i < columns.size(); ++i)
      same = list.cell(row, columns[i]) == key[i].get<std::string>();
    if (!same) {
      LogWarning("settings panel: refused an action on row " + std::to_string(row) + " of " +
                 list.name() + ": the list has changed");
      SendError(res, 409, kListChanged);
      return std::nullopt;
    }
    out.push_back(row);
  }
  std::sort(out.rbegin(), out.rend());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// A task is named by its time, action and content: times alone repeat. A
// keyword reply likewise by keyword, reply and mode: a keyword may have two.
const std::vector<size_t> kTaskKey = {taskcol::kTime, taskcol::kAction, taskcol::kContent};
const std::vector<size_t> kKeywordKey = {keywordcol::kKeyword, keywordcol::kReply,
                                         keywordcol::kMode};

void AddKeywordRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/more/keywords", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, KeywordsJson(ctx));
  });
  // The "添加" button with the add box's values.
  server.Post("/api/more/keywords", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body = JsonBody(
        req, res,
        "请求应为 {\"keyword\": 关键词, \"reply\": 回复内容, \"count\": 回复次数, \"mode\": "
        "\"精准\" 或 \"模糊\"}");
    if (!body) return;
    std::string keyword, reply, count;
    std::string error = CheckText(opt::kReplyKeyword, body->value("keyword", Json("")), &keyword);
    if (error.empty()) error = CheckText(opt::kReplyText, body->value("reply", Json("")), &reply);
    Json countValue = body->value("count", Json("0"));
    if (countValue.is_string() && countValue.get<std::string>().empty()) countValue = "0";
    if (countValue.is_number_unsigned()) countValue = std::to_string(countValue.get<uint64_t>());
    if (error.empty()) error = CheckText(opt::kReplyCount, countValue, &count);
    const Json modeValue = body->value("mode", Json("模糊"));
    const std::string mode = modeValue.is_string() ? modeValue.get<std::string>() : "";
    if (error.empty() && mode != "模糊" && mode != "精准")
      error = "匹配模式只能是 精准匹配 或 模糊匹配";
    if (error.empty() && (keyword.find(kCellSeparator) != std::string::npos ||
                          reply.find(kCellSeparator) != std::string::npos))
      error = "关键词和回复内容里不能有 \"----\" (回复关键词.txt 用它分隔各列)";
    if (!error.empty()) {
      LogWarning("settings panel: refused a keyword: " + error);
      SendError(res, 400, error);
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    Settings& s = ctx.robot.lifecycle().settings();
    ControlsSnapshot before(s, {opt::kReplyKeyword, opt::kReplyText, opt::kReplyCount},
                            {opt::kExactMatch, opt::kFuzzyMatch});
    s.setText(opt::kReplyKeyword, keyword);
    s.setText(opt::kReplyText, reply);
    s.setText(opt::kReplyCount, count);
    s.setChecked(mode == "精准" ? opt::kExactMatch : opt::kFuzzyMatch, true);
    const std::string refusal = ctx.robot.modules.keywordReplies.AddKeywordReply();
    if (!refusal.empty()) {
      before.restore();
      SendError(res, 400, refusal);
      return;
    }
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, KeywordsJson(ctx));
  });
  // List actions "删除该回复语" and "清空已回复次数" on the chosen rows.
  auto listAction = [&ctx](bool remove) {
    return [&ctx, remove](const httplib::Request& req, httplib::Response& res) {
      if (!SettingsLoaded(ctx, res)) return;
      const std::optional<Json> body = JsonBody(req, res, "请求应为 {\"rows\": [...]}");
      if (!body) return;
      std::lock_guard lock(ctx.saveMu);
      const auto rows = ChosenRows(*body, ctx.robot.lifecycle().lists().keywords, kKeywordKey, res);
      if (!rows) return;
      KeywordReplies& k = ctx.robot.modules.keywordReplies;
      for (size_t row : *rows) remove ? k.deleteReply(row) : k.clearRepliedCount(row);
      ctx.robot.modules.store.SaveAllSettings();
      SendJson(res, KeywordsJson(ctx));
    };
  };
  server.Post("/api/more/keywords/delete", listAction(true));
  server.Post("/api/more/keywords/clear", listAction(false));
}

// Puts the add box's values (time, action, content) into the add controls;
// returns the refusal or "".
std::string TaskControls(PanelContext& ctx, const Json& body, bool withTime) {
  Settings& s = ctx.robot.lifecycle().settings();
  const Json actionValue = body.value("action", Json(""));
  const std::string action = actionValue.is_string() ? actionValue.get<std::string>() : "";
  const ActionChoice* chosen = nullptr;
  for (const ActionChoice& a : kActions)
    if (action == a.action) chosen = &a;
  if (!chosen) return "执行操作只能是 发送信息、发布公告、全体禁言、解除禁言 或 发布作业";
  std::string content;
  if (std::string e = CheckText(opt::kTaskContent, body.value("content", Json("")), &content);
      !e.empty())
    return e;
  if (content.find(kCellSeparator) != std::string::npos)
    return "内容里不能有 \"----\" (任务列表.txt 用它分隔各列)";
  // An empty time is the date box never set: the module takes the current time.
  const Json timeValue = body.value("time", Json(""));
  if (withTime && !timeValue.is_string()) return "执行时间应为 时:分:秒, 例如 08:30:00";
  std::string time = timeValue.is_string() ? timeValue.get<std::string>() : "";
  if (withTime && !time.empty()) {
    const std::optional<std::string> t = NormaliseTimeOfDay(time);
    if (!t) return "执行时间应为 时:分:秒, 例如 08:30:00";
    time = *t;
  }
  s.setChecked(chosen->radio, true);
  s.setText(opt::kTaskContent, content);
  if (withTime) s.setText(opt::kTaskTime, time);
  return "";
}

void AddTaskRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/more/tasks", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, TasksJson(ctx));
  });
  const std::string usage =
      "请求应为 {\"time\": \"HH:mm:ss\", \"action\": 执行操作, \"content\": 发送内容}";
  server.Post(
      "/api/more/tasks", [&ctx, usage](const httplib::Request& req, httplib::Response& res) {
        if (!SettingsLoaded(ctx, res)) return;
        const std::optional<Json> body = JsonBody(req, res, usage);
        if (!body) return;
        std::lock_guard lock(ctx.saveMu);
        Settings& s = ctx.robot.lifecycle().settings();
        ControlsSnapshot before(s, {opt::kTaskContent, opt::kTaskTime},
                                {opt::kTaskSendMessage, opt::kTaskAnnounce, opt::kTaskMuteAll,
                                 opt::kTaskUnmuteAll, opt::kTaskHomework});
        std::string error = TaskControls(ctx, *body, true);
        if (error.empty()) {
          if (Status st = ctx.robot.modules.scheduler.addTask(); !st) error = st.message();
        }
        if (!error.empty()) {
          before.restore();
          LogWarning("settings panel: refused a timed task: " + error);
          SendError(res, 400, error);
          return;
        }
        ctx.robot.modules.store.SaveAllSettings();
        SendJson(res, TasksJson(ctx));
      });
  // The tick of one row (it marks the row for deletion and is saved with it).
  server.Post("/api/more/tasks/tick", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body =
        JsonBody(req, res,
                 "请求应为 {\"rows\": [{\"row\": 行号, \"key\": [时间, 执行操作, 发送内容]}], "
                 "\"checked\": 真假}");
    if (!body) return;
    const Json checked = body->value("checked", Json());
    if (!checked.is_boolean()) {
      SendError(res, 400, "checked 只能是 true 或 false");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    ListModel& tasks = ctx.robot.lifecycle().lists().tasks;
    const auto rows = ChosenRows(*body, tasks, kTaskKey, res);
    if (!rows) return;
    for (size_t row : *rows) tasks.setChecked(row, checked.get<bool>());
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, TasksJson(ctx));
  });
  // "删除勾选任务": the rows the page showed ticked, named as above; exactly
  // these are deleted, whatever another page ticked meanwhile.
  server.Post("/api/more/tasks/delete", [&ctx](const httplib::Request& req,
                                               httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body = JsonBody(
        req, res, "请求应为 {\"rows\": [{\"row\": 行号, \"key\": [时间, 执行操作, 发送内容]}]}");
    if (!body) return;
    std::lock_guard lock(ctx.saveMu);
    ListModel& tasks = ctx.robot.lifecycle().lists().tasks;
    const auto rows = ChosenRows(*body, tasks, kTaskKey, res);
    if (!rows) return;
    tasks.update([&](std::vector<ListRow>& all) {
      for (size_t i = 0; i < all.size(); ++i)
        all[i].checked = std::find(rows->begin(), rows->end(), i) != rows->end();
    });
    ctx.robot.modules.scheduler.deleteCheckedTasks();
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, TasksJson(ctx));
  });
  // "立即执行": the task the add box describes, at once, without a row.
  server.Post(
      "/api/more/tasks/run", [&ctx, usage](const httplib::Request& req, httplib::Response& res) {
        if (!SettingsLoaded(ctx, res)) return;
        const std::optional<Json> body = JsonBody(req, res, usage);
        if (!body) return;
        if (!Connected(ctx)) {
          LogWarning("settings panel: run-now refused: no account is connected");
          SendError(res, 409,
                    "没有连接账号 (离线配置), 不能立即执行任务: 发消息、禁言和发公告都要通过账号");
          return;
        }
        std::lock_guard lock(ctx.saveMu);
        TaskScheduler& scheduler = ctx.robot.modules.scheduler;
        if (!scheduler.runNowEnabled()) {
          SendError(res, 409, "有任务正在执行, 请等它执行完毕再试");
          return;
        }
        Settings& s = ctx.robot.lifecycle().settings();
        ControlsSnapshot before(s, {opt::kTaskContent},
                                {opt::kTaskSendMessage, opt::kTaskAnnounce, opt::kTaskMuteAll,
                                 opt::kTaskUnmuteAll, opt::kTaskHomework});
        std::string error = TaskControls(ctx, *body, false);
        if (error.empty()) {
          if (Status st = scheduler.runTaskNow(); !st) error = st.message();
        }
        if (!error.empty()) {
          before.restore();
          SendError(res, 400, error);
          return;
        }
        ctx.robot.modules.store.SaveAllSettings();
        SendJson(res, TasksJson(ctx));
      });
}

}  // namespace

void AddMoreRoutes(httplib::Server& server, PanelContext& ctx) {
  AddKeywordRoutes(server, ctx);
  AddTaskRoutes(server, ctx);
  AddMoreStatisticsRoutes(server, ctx);
}

}  // namespace bw::ui
