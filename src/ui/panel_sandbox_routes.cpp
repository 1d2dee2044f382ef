// 试一试: one event through the rules on a copy of the robot's data
// (core/sandbox.h), answered as the host calls it would make and the run-log
// entries it would write.
#include <cstdint>
#include <string>

#include "core/sandbox.h"
#include "host/host_api.h"
#include "settings/list_model.h"
#include "ui/panel_routes.h"
#include "util/log.h"

namespace bw::ui {
namespace {

constexpr size_t kMaxSandboxText = 4000;

// A QQ or group number typed by the owner: up to 18 digits (an int64), not
// starting with 0. Returns 0 for anything else.
int64_t NumberField(const Json& body, const char* key) {
  if (!body.contains(key)) return 0;
  const Json& v = body[key];
  std::string text;
  if (v.is_number_unsigned()) text = std::to_string(v.get<uint64_t>());
  if (v.is_string()) text = v.get<std::string>();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  if (text.empty() || text.size() > 18 ||
      text.find_first_not_of("0123456789") != std::string::npos || text.front() == '0')
    return 0;
  return std::stoll(text);
}

// A field as text; "" when it is missing or not text (the caller refuses that
// with a message about what the field should hold).
std::string TextField(const Json& body, const char* key) {
  const auto it = body.find(key);
  return it != body.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// What a recorded call would do, in the owner's words.
std::string Describe(const HostCall& c) {
  const std::string g = std::to_string(c.group), a = std::to_string(c.account);
  if (c.action == "send_group_msg") return "在群 " + g + " 发送消息: " + c.text;
  if (c.action == "send_private_msg") return "私聊 " + a + ": " + c.text;
  if (c.action == "set_group_kick")
    return "将 " + a + " 踢出群 " + g + (c.enable ? " (并拒绝其再次加群)" : "");
  if (c.action == "set_group_ban")
    return c.number > 0 ? "在群 " + g + " 禁言 " + a + " " + std::to_string(c.number) + " 秒"
                        : "在群 " + g + " 解除 " + a + " 的禁言";
  if (c.action == "set_group_whole_ban")
    return std::string(c.enable ? "开启" : "关闭") + "群 " + g + " 的全体禁言";
  if (c.action == "delete_msg") return "撤回这条消息 (消息编号 " + std::to_string(c.number) + ")";
  if (c.action == "set_group_card") return "将 " + a + " 在群 " + g + " 的名片改为: " + c.text;
  if (c.action == "set_group_add_request")
    return c.decision == kRequestApprove ? "同意加群请求"
                                         : "拒绝加群请求" + (c.text.empty() ? "" : ": " + c.text);
  return c.action;
}

std::optional<SandboxEvent::Kind> KindOf(const std::string& name) {
  if (name == "message") return SandboxEvent::Kind::kGroupMessage;
  if (name == "join") return SandboxEvent::Kind::kJoin;
  if (name == "leave") return SandboxEvent::Kind::kLeave;
  if (name == "request") return SandboxEvent::Kind::kJoinRequest;
  return std::nullopt;
}

// The listed groups, for the page's choice: number, name, managed or not.
Json Groups(PanelContext& ctx) {
  Lifecycle& l = ctx.robot.lifecycle();
  Json list = Json::array();
  for (const ListRow& r : l.lists().groups.rows()) {
    if (r.cells.size() < 3) continue;
    const std::string& number = r.cells[1];
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos) continue;
    list.push_back({{"group", number},
                    {"name", r.cells[2]},
                    {"managed", l.managedGroups().contains(std::stoll(number))}});
  }
  return list;
}

}  // namespace

void AddSandboxRoutes(httplib::Server& server, PanelContext& ctx) {
  server.Get("/api/sandbox", [&ctx](const httplib::Request&, httplib::Response& res) {
    SendJson(res, Json{{"groups", Groups(ctx)}, {"ready", ctx.robot.startedUp()}});
  });
  server.Post("/api/sandbox", [&ctx](const httplib::Request& req, httplib::Response& res) {
    if (!SettingsLoaded(ctx, res)) return;
    const std::optional<Json> body =
        JsonBody(req, res,
                 "请求应为 {\"kind\": \"message\"/\"join\"/\"leave\"/\"request\", \"group\": 群号, "
                 "\"account\": QQ号, \"text\": 消息}");
    if (!body) return;
    const std::optional<SandboxEvent::Kind> kind = KindOf(TextField(*body, "kind"));
    if (!kind) {
      SendError(res, 400, "事件类型应为 群消息、进群、退群 或 加群请求");
      return;
    }
    SandboxEvent event;
    event.kind = *kind;
    event.group = NumberField(*body, "group");
    event.account = NumberField(*body, "account");
    if (event.group == 0) {
      SendError(res, 400, "群号 应为数字 (群列表中的群号)");
      return;
    }
    if (event.account == 0) {
      SendError(res, 400, "QQ号 应为数字");
      return;
    }
    if (body->contains("inviter") && !(*body)["inviter"].is_null() && (*body)["inviter"] != "") {
      event.inviter = NumberField(*body, "inviter");
      if (event.inviter == 0) {
        SendError(res, 400, "邀请人 应为 QQ号 (数字), 或留空");
        return;
      }
    }
    if (body->contains("text") && (*body)["text"].is_string())
      event.text = (*body)["text"].get<std::string>();
    if (event.text.size() > kMaxSandboxText) {
      SendError(res, 400, "消息内容 太长 (最多 4000 字节)");
      return;
    }
    if (event.kind == SandboxEvent::Kind::kGroupMessage && event.text.empty()) {
      SendError(res, 400, "请填写 消息内容");
      return;
    }
    bool listed = false;
    for (const Json& g : Groups(ctx)) listed = listed || g["group"] == std::to_string(event.group);
    if (!listed) {
      SendError(res, 400, "群 " + std::to_string(event.group) + " 不在群列表中");
      return;
    }
    SandboxOutcome outcome;
    Status status;
    {
      // The copy is never taken half-saved, and one sandbox runs at a time.
      std::lock_guard lock(ctx.saveMu);
      status = RunSandbox(ctx.robot, event, outcome);
    }
    if (!status) {
      LogWarning("settings panel: the sandbox failed: " + status.message());
      SendError(res, 500, "试一试失败: " + status.message());
      return;
    }
    Json calls = Json::array();
    for (const HostCall& c : outcome.calls)
      calls.push_back({{"action", c.action}, {"text", Describe(c)}, {"json", c.toJson()}});
    Json runlog = Json::array();
    for (const RunLogEntry& e : outcome.runLog)
      runlog.push_back({{"time", e.time},
                        {"type", e.type.empty() ? "信息" : e.type},
                        {"message", e.message},
                        {"red", e.red}});
    SendJson(res, Json{{"managed", outcome.managed}, {"calls", calls}, {"runlog", runlog}});
  });
}

}  // namespace bw::ui
