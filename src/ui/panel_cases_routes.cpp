// 处罚记录: the cases listed newest first with filters and keyset pages, undone
// one at a time, exported as CSV (cases/case_book.h).
#include <chrono>
#include <cstdint>
#include <string>

#include "cases/case_book.h"
#include "ui/panel_routes.h"
#include "util/time_text.h"

namespace bw::ui {
namespace {

constexpr int kPageSize = 50;
// An export larger than this is cut; the answer says so in a header.
constexpr size_t kMaxCsvRows = 100000;

// A number in a query parameter: digits only, at most 18 of them; nullopt
// for anything else (the caller answers what it should be). Missing is 0.
std::optional<int64_t> NumberParam(const httplib::Request& req, const char* key) {
  std::string text = req.get_param_value(key);
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty()) return 0;
  if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::stoll(text);
}

// The filter of a listing or an export; false (and a 400 answer) when a field
// is no number where one belongs.
bool ReadFilter(const httplib::Request& req, httplib::Response& res, CaseFilter& f) {
  struct NumberField {
    const char* key;
    int64_t* into;
    const char* what;
  } numbers[] = {{"group", &f.group, "群号"},
                 {"member", &f.member, "QQ号"},
                 {"from", &f.from, "开始时间"},
                 {"to", &f.to, "结束时间"}};
  for (const NumberField& n : numbers) {
    const std::optional<int64_t> v = NumberParam(req, n.key);
    if (!v) {
      SendError(res, 400, std::string(n.what) + "只能是数字");
      return false;
    }
    *n.into = *v;
  }
  f.rule = req.get_param_value("rule");
  f.action = req.get_param_value("action");
  if (f.rule.size() > kCaseRuleBytes || f.action.size() > 64) {
    SendError(res, 400, "规则或动作的名字太长");
    return false;
  }
  return true;
}

// The robot's calls reach QQ now: its account is connected. The offline panel
// and a service whose account is away only record or hold them.
bool Linked(PanelContext& ctx) {
  return Json::parse(ctx.status.json(), nullptr, false).value("state", "") == "connected";
}

Json CaseJson(const CaseRecord& c, const CaseBook& book, bool linked) {
  const bool pending = c.undone && book.undoPending(c.id);
  const std::string why = pending ? "正在等QQ确认解除禁言" : CaseBook::WhyNotUndoable(c, linked);
  return Json{{"id", c.id},
              {"time", c.time},
              {"timeText", FormatDateTime(SystemTime(std::chrono::seconds(c.time)), "yyyy-MM-dd ",
                                          "HH:mm:ss", true)},
              {"robot", c.robot},
              {"group", c.group},
              {"member", c.member},
              {"action", c.action},
              {"rule", c.rule},
              {"reason", c.reason},
              {"evidence", c.evidence},
              {"actor", c.actor},
              {"actorText", CaseBook::ActorText(c)},
              {"amount", c.amount},
              {"wouldHave", c.wouldHave},
              {"undone", c.undone && !pending},
              {"undoPending", pending},
              {"undoes", c.undoes},
              {"canUndo", why.empty()},
              // Undoable once the account is connected again.
              {"needsLink", !why.empty() && !pending && CaseBook::WhyNotUndoable(c, true).empty()},
              {"whyNot", why}};
}

}  // namespace

void AddCasesRoutes(httplib::Server& server, PanelContext& ctx) {
  // ?group&member&rule&action&from&to (Unix seconds) &afterTime&afterId&limit
  server.Get("/api/cases", [&ctx](const httplib::Request& req, httplib::Response& res) {
    CaseFilter filter;
    if (!ReadFilter(req, res, filter)) return;
    const std::optional<int64_t> afterTime = NumberParam(req, "afterTime");
    const std::optional<int64_t> afterId = NumberParam(req, "afterId");
    const std::optional<int64_t> limit = NumberParam(req, "limit");
    if (!afterTime || !afterId || !limit) {
      SendError(res, 400, "翻页位置和每页条数只能是数字");
      return;
    }
    const int size = *limit == 0 ? kPageSize : static_cast<int>(std::min<int64_t>(*limit, 1000));
    const CasePage page =
        ctx.robot.modules.caseBook.page(filter, CaseCursor{*afterTime, *afterId}, size);
    const bool linked = Linked(ctx);
    Json cases = Json::array();
    for (const CaseRecord& c : page.cases)
      cases.push_back(CaseJson(c, ctx.robot.modules.caseBook, linked));
    Json next = nullptr;
    if (page.next) next = Json{{"time", page.next->time}, {"id", page.next->id}};
    Json actions = Json::array();
    for (std::string_view a :
         {kCaseRecall, kCaseWarn, kCasePoints, kCaseMute, kCaseKick, kCaseKickBlacklist,
          kCaseBlacklist, kCaseReport, kCaseUnmute, kCaseUnblacklist, kCaseRemovePoints,
          kCaseVerifyPass, kCaseVerifyKick, kCaseRefuseJoin})
      actions.push_back(std::string(a));
    SendJson(res, Json{{"cases", std::move(cases)},
                       {"next", next},
                       {"actions", actions},
                       {"connected", linked}});
  });

  // {"id": n}
  server.Post("/api/cases/undo", [&ctx](const httplib::Request& req, httplib::Response& res) {
    const std::optional<Json> body = JsonBody(req, res, "需要 {\"id\": 记录编号}");
    if (!body) return;
    const auto it = body->find("id");
    if (it == body->end() || !it->is_number_integer() || it->get<int64_t>() <= 0) {
      SendError(res, 400, "需要要撤销的记录编号");
      return;
    }
    UndoResult r;
    {
      // Lists change under the same lock as every other change of the panel.
      std::lock_guard lock(ctx.saveMu);
      // 0: the owner in the panel. A mute can be lifted only through a
      // connected account; offline, nothing is changed and the answer says so.
      r = ctx.robot.modules.caseBook.undo(it->get<int64_t>(), 0, Linked(ctx));
    }
    static constexpr const char* kStates[] = {"done", "pending", "refused", "failed"};
    const int status = r.state == UndoResult::State::kRefused  ? 409
                       : r.state == UndoResult::State::kFailed ? 502
                                                               : 200;
    SendJson(res,
             Json{{"state", kStates[static_cast<int>(r.state)]},
                  {"message", r.message},
                  {"undoCase", r.undoCase},
                  {"error", status == 200 ? "" : r.message}},
             status);
  });

  // The same filters as the listing; every matching case (up to the bound).
  server.Get("/api/cases/export", [&ctx](const httplib::Request& req, httplib::Response& res) {
    CaseFilter filter;
    if (!ReadFilter(req, res, filter)) return;
    bool truncated = false;
    std::string body = ctx.robot.modules.caseBook.csv(filter, kMaxCsvRows, &truncated);
    res.set_header("Content-Disposition",
                   "attachment; filename=\"cases.csv\"; "
                   "filename*=UTF-8''%E5%A4%84%E7%BD%9A%E8%AE%B0%E5%BD%95.csv");
    if (truncated) res.set_header("X-Cases-Truncated", std::to_string(kMaxCsvRows));
    res.set_content(std::move(body), "text/csv; charset=utf-8");
  });
}

}  // namespace bw::ui
