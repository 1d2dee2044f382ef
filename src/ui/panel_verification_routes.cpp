// 自动管理/入群验证: the verification settings (read and saved as one form),
// the members still to answer, and the pass button.
#include <cstdint>
#include <string>
#include <vector>

#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "ui/panel_routes.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time_text.h"
#include "verification/verification.h"

namespace bw::ui {
namespace {

constexpr int64_t kMaxMinutes = 1440;
constexpr int64_t kMaxWrong = 10;
constexpr size_t kMaxQuestions = 50;
constexpr size_t kMaxQuestionBytes = 200;
constexpr size_t kMaxAnswersBytes = 200;
constexpr size_t kMaxCommandBytes = 30;

// The listed groups, number and name, and whether the robot manages them.
Json ListedGroups(PanelContext& ctx) {
  Lifecycle& l = ctx.robot.lifecycle();
  Json list = Json::array();
  for (const ListRow& r : l.lists().groups.rows()) {
    if (r.cells.size() < 3 || !IsAccountNumber(r.cells[groupcol::kGroup])) continue;
    const std::string& number = r.cells[groupcol::kGroup];
    list.push_back({{"group", number},
                    {"name", r.cells[2]},
                    {"managed", l.managedGroups().contains(TextToInt(number))}});
  }
  return list;
}

std::string Stamp(int64_t unixSeconds) {
  return FormatDateTime(SystemTime(std::chrono::seconds(unixSeconds)), "yyyy-MM-dd ", "HH:mm:ss",
                        true);
}

Json SettingsJson(const Settings& s) {
  Json questions = Json::array();
  for (const VerificationQuestion& q :
       ParseVerificationQuestions(s.text(opt::kVerifyQuestions), nullptr))
    questions.push_back({{"question", q.question}, {"answers", q.answers}});
  Json groups = Json::array();
  for (const int64_t g : ParseVerificationGroups(s.text(opt::kVerifyGroups), nullptr))
    groups.push_back(std::to_string(g));
  return Json{{"on", s.checked(opt::kVerifyOn)},
              {"groups", groups},
              {"ownQuestions", s.checked(opt::kVerifyOwnQuestions)},
              {"questions", questions},
              {"minutes", s.number(opt::kVerifyMinutes)},
              {"wrongLimit", s.number(opt::kVerifyWrongLimit)},
              {"refuseRejoin", s.checked(opt::kVerifyRefuseRejoin)},
              {"passCommand", s.text(opt::kVerifyPassCommand)}};
}

Json PendingJson(PanelContext& ctx) {
  Json list = Json::array();
  for (const PendingVerification& p : ctx.robot.modules.verification.pending()) {
    list.push_back({{"group", std::to_string(p.group)},
                    {"member", std::to_string(p.member)},
                    {"question", p.question},
                    {"joined", Stamp(p.joined)},
                    {"deadline", Stamp(p.deadline)},
                    {"wrong", p.wrong}});
  }
  return list;
}

// A whole number typed in a box: an integer, or text holding only digits.
std::optional<int64_t> WholeNumber(const Json& v) {
  if (v.is_number_integer()) return v.get<int64_t>();
  if (!v.is_string()) return std::nullopt;
  const std::string text = v.get<std::string>();
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return TextToInt(text);
}

bool HasBreakOrBar(const std::string& s) {
  return s.find_first_of("|\r\n") != std::string::npos || Contains(s, "｜");
}

// What the form holds, checked whole before anything is changed; the first
// problem in the owner's words, or "" with `out` filled.
struct Form {
  bool on = false;
  std::string groups;  // "+"-separated
  bool ownQuestions = false;
  std::string questions;  // one line per question: question|answer|answer
  int64_t minutes = 0;
  int64_t wrongLimit = 0;
  bool refuseRejoin = false;
  std::string passCommand;
};

std::string ReadForm(PanelContext& ctx, const Json& body, Form& out) {
  for (const char* key : {"on", "ownQuestions", "refuseRejoin"})
    if (!body.contains(key) || !body[key].is_boolean()) return "开关的值应为 是 或 否";
  out.on = body["on"].get<bool>();
  out.ownQuestions = body["ownQuestions"].get<bool>();
  out.refuseRejoin = body["refuseRejoin"].get<bool>();

  const std::optional<int64_t> minutes = WholeNumber(body.value("minutes", Json()));
  if (!minutes || *minutes < 1 || *minutes > kMaxMinutes)
    return "回答时限必须是 1 到 1440 之间的整数 (分钟)";
  out.minutes = *minutes;
  const std::optional<int64_t> wrong = WholeNumber(body.value("wrongLimit", Json()));
  if (!wrong || *wrong < 1 || *wrong > kMaxWrong) return "答错几次踢出必须是 1 到 10 之间的整数";
  out.wrongLimit = *wrong;

  const std::optional<std::vector<std::string>> groups = GroupNumbers(body, "groups");
  if (!groups) return "验证的群应为群号的列表";
  const Json listed = ListedGroups(ctx);
  for (const std::string& g : *groups) {
    bool found = false;
    for (const Json& l : listed) found = found || l["group"] == g;
    if (!found) return "群 " + g + " 不在群列表中";
    if (!out.groups.empty()) out.groups += "+";
    out.groups += g;
  }
  if (out.on && groups->empty()) return "开启入群验证时, 请至少选择一个要验证的群";

  const Json questions = body.value("questions", Json::array());
  if (!questions.is_array()) return "自定义问题应为问题的列表";
  if (questions.size() > kMaxQuestions) return "自定义问题最多 50 个";
  size_t number = 0;
  for (const Json& q : questions) {
    ++number;
    const std::string at = "第 " + std::to_string(number) + " 个自定义问题";
    if (!q.is_object() || !q.value("question", Json()).is_string() ||
        !q.value("answers", Json()).is_array())
      return at + "应有问题和答案";
    std::string question = q["question"].get<std::string>();
    while (!question.empty() && question.back() == ' ') question.pop_back();
    while (!question.empty() && question.front() == ' ') question.erase(0, 1);
    if (question.empty()) return at + "没有写问题";
    if (question.size() > kMaxQuestionBytes) return at + "太长 (最多 200 字节)";
    if (HasBreakOrBar(question)) return at + "里不能有竖线 | 或换行";
    std::string line = question;
    size_t answerBytes = 0;
    for (const Json& a : q["answers"]) {
      if (!a.is_string()) return at + "的答案应为文字";
      const std::string answer = a.get<std::string>();
      if (NormalizeVerificationAnswer(answer).empty()) continue;  // a blank answer box
      if (HasBreakOrBar(answer)) return at + "的答案里不能有竖线 | 或换行";
      answerBytes += answer.size() + 1;
      line += "|" + answer;
    }
    if (line == question) return at + "还没有答案, 请至少写一个答案";
    if (answerBytes > kMaxAnswersBytes) return at + "的答案太长 (合计最多 200 字节)";
    if (!out.questions.empty()) out.questions += "\r\n";
    out.questions += line;
  }
  if (out.ownQuestions && out.questions.empty())
    return "使用自定义问题时, 请至少写一个问题和它的答案";
  // The settings file keeps at most this much in one value.
  if (out.questions.size() > 8000) return "自定义问题合计太长 (最多 8000 字节)";

  const Json command = body.value("passCommand", Json());
  if (!command.is_string()) return "放行命令应为文字";
  out.passCommand = command.get<std::string>();
  if (out.passCommand.empty() || out.passCommand.find_first_not_of(' ') == std::string::npos)
    return "放行命令不能留空";
  if (out.passCommand.size() > kMaxCommandBytes) return "放行命令太长 (最多 30 字节)";
  if (out.passCommand.find_first_of("[]\r\n") != std::string::npos)
    return "放行命令里不能有方括号或换行";
  return "";
}

}  // namespace

void AddVerificationRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/verification", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"settings", SettingsJson(ctx.robot.lifecycle().settings())},
                       {"groups", ListedGroups(ctx)},
                       {"pending", PendingJson(ctx)},
                       {"canRecall", ctx.robot.lifecycle().host().canRecall()}});
  });
  server.Post("/api/verification", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body = JsonBody(
        req, res,
        "请求应为 {\"on\": 是否开启, \"groups\": [群号], \"ownQuestions\": 是否用自定义问题, "
        "\"questions\": [{\"question\": 问题, \"answers\": [答案]}], \"minutes\": 分钟, "
        "\"wrongLimit\": 次数, \"refuseRejoin\": 是否拒绝再加群, \"passCommand\": 放行命令}");
    if (!body) return;
    std::lock_guard lock(ctx.saveMu);  // one change and its save at a time
    Form form;
    const std::string problem = ReadForm(ctx, *body, form);
    if (!problem.empty()) {
      LogWarning("settings panel: refused the verification settings: " + problem);
      SendError(res, 400, problem);
      return;
    }
    Settings& s = ctx.robot.lifecycle().settings();
    s.setText(opt::kVerifyGroups, form.groups);
    s.setText(opt::kVerifyQuestions, form.questions);
    s.setText(opt::kVerifyMinutes, std::to_string(form.minutes));
    s.setText(opt::kVerifyWrongLimit, std::to_string(form.wrongLimit));
    s.setText(opt::kVerifyPassCommand, form.passCommand);
    s.setChecked(opt::kVerifyOwnQuestions, form.ownQuestions);
    s.setChecked(opt::kVerifyRefuseRejoin, form.refuseRejoin);
    // The switch last: a newcomer arriving meanwhile meets the new settings.
    s.setChecked(opt::kVerifyOn, form.on);
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, Json{{"settings", SettingsJson(s)}});
  });
  server.Post(
      "/api/verification/pass", [&ctx](const httplib::Request& req, httplib::Response& res) {
        if (!SettingsLoaded(ctx, res)) return;
        const std::optional<Json> body =
            JsonBody(req, res, "请求应为 {\"group\": \"群号\", \"member\": \"QQ号\"}");
        if (!body) return;
        const Json group = body->value("group", Json());
        const Json member = body->value("member", Json());
        if (!group.is_string() || !IsAccountNumber(group.get<std::string>()) ||
            !member.is_string() || !IsAccountNumber(member.get<std::string>())) {
          SendError(res, 400, "请求应为 {\"group\": \"群号\", \"member\": \"QQ号\"}");
          return;
        }
        // The panel acts through the robot: its account is the case's actor.
        if (!ctx.robot.modules.verification.pass(TextToInt(group.get<std::string>()),
                                                 TextToInt(member.get<std::string>()),
                                                 ctx.robot.modules.cases.robot(), "面板")) {
          SendError(res, 404,
                    member.get<std::string>() + " 已不在待验证名单中 (可能已经回答、退群或被踢出)");
          return;
        }
        LogInfo("settings panel: " + member.get<std::string>() + " of group " +
                group.get<std::string>() + " passed verification by the owner");
        SendJson(res, Json{{"pending", PendingJson(ctx)}});
      });
}

}  // namespace bw::ui
