// The list pages of the panel: the group list's two refresh buttons, the
// administrator, white and black lists, the invite statistics query, the
// welcome texts and the member limits of the ticked groups. Each action calls
// the operation the window's button calls and saves as the window does.
//
// Rows are ticked in the page; an action names its rows by account or group
// number (never by position), so a list refilled in the meantime cannot make
// it act on other rows.
#include <set>
#include <string>
#include <vector>

#include "settings/list_model.h"
#include "settings/option_names.h"
#include "ui/panel_pages.h"
#include "ui/panel_routes.h"
#include "util/charset.h"
#include "util/log.h"
#include "util/text.h"

namespace bw::ui {
namespace {

// Below this many members a limit is asked about first.
constexpr int64_t kFewMembers = 500;
constexpr char kFewMembersQuestion[] = "你限制的人数过少确定设置么?";
// Longest add box the settings file keeps.
constexpr size_t kMaxBoxBytes = 10239;

struct AccountPage {
  const char* name;  // the inner tab and the table
  AccountList list;
  const char* box;
  const char* hint;
};

const AccountPage kAccountPages[] = {
    {"管理员", AccountList::kAdministrators, opt::kAddAdministrator,
     "管理员名单里的成员可以使用各种命令操控机器人"},
    {"白名单", AccountList::kWhitelist, opt::kAddWhitelist, "白名单里的成员可以避免t人禁言规则"},
    {"黑名单", AccountList::kBlacklist, opt::kAddBlacklist, "黑名单成员禁止进群"},
};

const AccountPage* FindAccountPage(const std::string& name) {
  for (const AccountPage& p : kAccountPages)
    if (name == p.name) return &p;
  return nullptr;
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// A field of a request body as text, "" when missing or not text.
std::string TextField(const Json& body, const char* key) {
  const auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

bool AccountLinked(PanelContext& ctx) {
  const Json status = Json::parse(ctx.status.json(), nullptr, false);
  return status.is_object() && TextField(status, "state") == "connected";
}

// The numbers a request names ("accounts" / "groups"): a non-empty array of
// account or group numbers as text. Empty and answered 400 otherwise.
std::vector<std::string> NumbersOf(const Json& body, const char* key, httplib::Response& res,
                                   const std::string& noneMessage) {
  std::vector<std::string> out;
  if (!body.contains(key) || !body[key].is_array() || body[key].empty()) {
    SendError(res, 400, noneMessage);
    return {};
  }
  for (const Json& v : body[key]) {
    const std::string text = v.is_string() ? v.get<std::string>() : v.dump();
    if (!IsAccountNumber(text)) {
      SendError(res, 400, "“" + text + "”不是号码 (1 到 18 位数字)");
      return {};
    }
    out.push_back(text);
  }
  return out;
}

// Ticks exactly the rows whose `column` holds one of `numbers`. Returns the
// first number that no row holds ("" when all were found); then nothing is
// ticked anew.
std::string TickRows(ListModel& view, size_t column, const std::vector<std::string>& numbers) {
  const std::set<std::string> wanted(numbers.begin(), numbers.end());
  std::set<std::string> present;
  for (const ListRow& r : view.rows())
    if (r.cells.size() > column) present.insert(r.cells[column]);
  for (const std::string& n : wanted)
    if (!present.contains(n)) return n;
  view.update([&](std::vector<ListRow>& rows) {
    for (ListRow& r : rows) r.checked = r.cells.size() > column && wanted.contains(r.cells[column]);
  });
  return "";
}

void AddAccountRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/lists/accounts", [&ctx](const httplib::Request& req, httplib::Response& res) {
    const AccountPage* page = FindAccountPage(req.get_param_value("list"));
    if (!page) {
      SendError(res, 404, "没有这个名单 (管理员、白名单、黑名单)");
      return;
    }
    if (page->list == AccountList::kBlacklist && ctx.robot.startedUp()) {
      // Kicks add to the blacklist behind the view's back: shown when the tab is.
      std::lock_guard lock(ctx.saveMu);
      ctx.robot.modules.accountLists.loadBlacklist();
    }
    Json answer = ListJson(ctx.robot.modules.accountLists.view(page->list));
    answer["list"] = page->name;
    answer["hint"] = page->hint;
    answer["box"] = ctx.robot.lifecycle().settings().text(page->box);
    SendJson(res, answer);
  });

  // The "加入…" button: one account per line; the whole box is refused when a
  // line is no account number, accounts already listed are skipped.
  server.Post("/api/lists/accounts/add", [&ctx](const httplib::Request& req,
                                                httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    auto body = JsonBody(req, res, "请求应为 {\"list\": \"黑名单\", \"text\": \"一行一个QQ号\"}");
    if (!body) return;
    const AccountPage* page = FindAccountPage(TextField(*body, "list"));
    if (!page || !(*body)["text"].is_string()) {
      SendError(res, 400,
                "请求应为 {\"list\": \"管理员/白名单/黑名单\", \"text\": \"一行一个QQ号\"}");
      return;
    }
    const std::string text = (*body)["text"].get<std::string>();
    if (!IsValidUtf8(text) || text.size() > kMaxBoxBytes) {
      SendError(res, 400, "QQ号: 内容太长或不是有效的文字");
      return;
    }
    std::vector<std::string> accounts;
    std::vector<std::string> lines = Split(text, "\n");
    for (size_t i = 0; i < lines.size(); ++i) {
      const std::string line = Trimmed(lines[i]);
      if (line.empty()) continue;
      if (!IsAccountNumber(line)) {
        LogWarning("settings panel: refused to add \"" + line + "\" to " + page->name);
        SendError(res, 400,
                  "QQ号: 第" + std::to_string(i + 1) + "行“" + line +
                      "”不是QQ号 (1 到 18 位数字), 没有加入任何号码");
        return;
      }
      accounts.push_back(line);
    }
    if (accounts.empty()) {
      SendError(res, 400, "QQ号: 请填写要加入" + std::string(page->name) + "的QQ号 (一行一个)");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    std::string box;
    for (const std::string& a : accounts) box += (box.empty() ? "" : "\r\n") + a;
    ctx.robot.lifecycle().settings().setText(page->box, box);
    // Skips what is listed already, empties the box, reloads the list.
    const AccountLists::BoxOutcome done = ctx.robot.modules.accountLists.addFromBox(page->list);
    ctx.robot.modules.store.SaveAllSettings();
    Json answer = ListJson(ctx.robot.modules.accountLists.view(page->list));
    answer["added"] = done.added;
    answer["skipped"] = done.skipped;
    answer["failed"] = done.failed;
    SendJson(res, answer);
  });

  // The "删除选中的…" button: the rows the page ticked, named by account.
  server.Post("/api/lists/accounts/remove", [&ctx](const httplib::Request& req,
                                                   httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    auto body =
        JsonBody(req, res, "请求应为 {\"list\": \"黑名单\", \"accounts\": [\"QQ号\", ...]}");
    if (!body) return;
    const AccountPage* page = FindAccountPage(TextField(*body, "list"));
    if (!page) {
      SendError(res, 400, "请求应为 {\"list\": \"管理员/白名单/黑名单\", \"accounts\": [...]}");
      return;
    }
    const std::vector<std::string> accounts =
        NumbersOf(*body, "accounts", res, "请先勾选要删除的" + std::string(page->name));
    if (accounts.empty()) return;
    std::lock_guard lock(ctx.saveMu);
    ListModel& view = ctx.robot.modules.accountLists.view(page->list);
    if (const std::string missing = TickRows(view, accountcol::kQQ, accounts); !missing.empty()) {
      SendError(res, 409,
                std::string(kListChanged) + " (" + missing + " 已不在" + page->name + "里)");
      return;
    }
    ctx.robot.modules.accountLists.removeTicked(page->list);  // reloads the list
    SendJson(res, ListJson(view));
  });
}

void AddInviteRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/lists/invites", [&ctx](const httplib::Request&, httplib::Response& res) {
    Json answer = ListJson(ctx.robot.lifecycle().lists().inviteStats);
    answer["filter"] = ctx.robot.lifecycle().settings().text(opt::kInviteQueryAccount);
    SendJson(res, answer);
  });
  // The "查询" button: one inviter, or everyone when the box is empty.
  server.Post("/api/lists/invites", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    auto body = JsonBody(req, res, "请求应为 {\"filter\": \"QQ号或空\"}");
    if (!body) return;
    if (!(*body)["filter"].is_string()) {
      SendError(res, 400, "请求应为 {\"filter\": \"QQ号或空\"}");
      return;
    }
    const std::string filter = Trimmed((*body)["filter"].get<std::string>());
    if (!filter.empty() && !IsAccountNumber(filter)) {
      SendError(res, 400,
                "QQ号: “" + (IsValidUtf8(filter) ? filter : std::string("?")) +
                    "”不是QQ号 (留空就是显示全部)");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    ctx.robot.lifecycle().settings().setText(opt::kInviteQueryAccount, filter);
    ctx.robot.modules.invites.showInviteStats(filter);
    ctx.robot.modules.store.SaveAllSettings();
    Json answer = ListJson(ctx.robot.lifecycle().lists().inviteStats);
    answer["filter"] = filter;
    SendJson(res, answer);
  });
}

void AddWelcomeAndLimitRoutes(httplib::Server& server, PanelContext& ctx) {
  // "textControl": the option box whose text the button sets.
  server.Get("/api/lists/welcome", [&ctx](const httplib::Request&, httplib::Response& res) {
    Json answer = ListJson(ctx.robot.lifecycle().lists().welcome);
    answer["textControl"] = opt::kWelcomeText;
    SendJson(res, answer);
  });
  // "设置勾选群欢迎语": the text given (an empty one returns the groups to the
  // default welcome) for the ticked groups.
  server.Post("/api/lists/welcome", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    auto body = JsonBody(req, res, "请求应为 {\"groups\": [\"群号\", ...], \"text\": \"欢迎语\"}");
    if (!body) return;
    const std::vector<std::string> groups =
        NumbersOf(*body, "groups", res, "请先勾选要设置欢迎语的群");
    if (groups.empty()) return;
    std::string text;
    bool unused = false;
    if (std::string error =
            CheckChange(opt::kWelcomeText, body->value("text", Json()), &text, &unused);
        !error.empty()) {
      SendError(res, 400, error);
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    ListModel& view = ctx.robot.lifecycle().lists().welcome;
    if (const std::string missing = TickRows(view, welcomecol::kGroup, groups); !missing.empty()) {
      SendError(
          res, 409,
          std::string(kListChanged) + " (群 " + missing + " 已不在欢迎语列表里, 没有勾选管理)");
      return;
    }
    ctx.robot.lifecycle().settings().setText(opt::kWelcomeText, text);
    ctx.robot.modules.store.SetWelcomeForCheckedGroups();
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, ListJson(view));
  });

  // "limitControl": the option box whose number the button sets.
  server.Get("/api/lists/limits", [&ctx](const httplib::Request&, httplib::Response& res) {
    Json answer = ListJson(ctx.robot.lifecycle().lists().limits);
    answer["limit"] = ctx.robot.lifecycle().settings().text(opt::kMemberLimit);
    answer["limitControl"] = opt::kMemberLimit;
    SendJson(res, answer);
  });
  // "设置勾选群的限制人数": below 500 only with the owner's yes ("confirmed").
  server.Post("/api/lists/limits", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    auto body = JsonBody(
        req, res,
        "请求应为 {\"groups\": [\"群号\", ...], \"limit\": \"950\", \"confirmed\": false}");
    if (!body) return;
    const std::vector<std::string> groups =
        NumbersOf(*body, "groups", res, "请先勾选要设置限制人数的群");
    if (groups.empty()) return;
    Json value = body->value("limit", Json());
    if (value.is_number_integer()) value = value.dump();
    std::string limit;
    bool unused = false;
    if (std::string error = CheckChange(opt::kMemberLimit, value, &limit, &unused);
        !error.empty()) {
      SendError(res, 400, error);
      return;
    }
    if (TextToInt(limit) < kFewMembers &&
        !(body->contains("confirmed") && (*body)["confirmed"] == true)) {
      SendJson(res, Json{{"error", kFewMembersQuestion}, {"question", kFewMembersQuestion}}, 409);
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    ListModel& view = ctx.robot.lifecycle().lists().limits;
    if (const std::string missing = TickRows(view, limitcol::kGroup, groups); !missing.empty()) {
      SendError(
          res, 409,
          std::string(kListChanged) + " (群 " + missing + " 已不在人数控制列表里, 没有勾选管理)");
      return;
    }
    ctx.robot.lifecycle().settings().setText(opt::kMemberLimit, limit);
    ctx.robot.modules.store.SetLimitForCheckedGroups(true);  // asked above
    ctx.robot.modules.store.SaveAllSettings();
    Json answer = ListJson(view);
    answer["limit"] = limit;
    SendJson(res, answer);
  });
}

void AddGroupRefreshRoutes(httplib::Server& server, PanelContext& ctx) {
  // "刷新群列表": asks the account's groups; a failed fetch keeps the list.
  server.Post("/api/groups/refresh", [&ctx](const httplib::Request&, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    if (!AccountLinked(ctx)) {
      SendError(res, 409, "没有连接账号 (离线), 无法刷新群列表; 群列表保持不变");
      return;
    }
    std::lock_guard lock(ctx.saveMu);
    if (!ctx.robot.modules.memberRefresh.refreshGroupList()) {
      SendError(res, 502, "获取群列表失败, 群列表保持不变");
      return;
    }
    ctx.robot.modules.store.SaveAllSettings();
    SendJson(res, Json{{"groups", ctx.robot.lifecycle().lists().groups.rowCount()}});
  });
  // "重新初始化勾选的失败群": runs on the refresh thread; the page follows the
  // status column until the run has ended.
  server.Get("/api/groups/refresh-members",
             [&ctx](const httplib::Request&, httplib::Response& res) {
               SendJson(res, Json{{"running", ctx.robot.modules.memberRefresh.running()}});
             });
  server.Post("/api/groups/refresh-members",
              [&ctx](const httplib::Request&, httplib::Response& res) {
                if (!SettingsLoaded(ctx, res)) return;
                if (!AccountLinked(ctx)) {
                  SendError(res, 409, "没有连接账号 (离线), 无法获取群成员");
                  return;
                }
                std::lock_guard lock(ctx.saveMu);
                MemberRefresh& refresh = ctx.robot.modules.memberRefresh;
                if (refresh.running()) {
                  SendError(res, 409, "正在获取群成员, 请等这一轮结束");
                  return;
                }
                refresh.startRefreshTickedMembers();
                SendJson(res, Json{{"running", true}});
              });
}

}  // namespace

void AddListRoutes(httplib::Server& server, PanelContext& ctx) {
  AddGroupRefreshRoutes(server, ctx);
  AddAccountRoutes(server, ctx);
  AddInviteRoutes(server, ctx);
  AddWelcomeAndLimitRoutes(server, ctx);
}

}  // namespace bw::ui
