#include "onebot/onebot_qq_services.h"

#include "onebot/connection.h"
#include "onebot/json_fields.h"
#include "storage/list_file.h"
#include "util/log.h"
#include "util/text.h"

namespace bw::onebot {

namespace {

// Drops during one question before it gives up: a link that flaps this often
// answers nothing useful.
constexpr int kAttempts = 3;

// Whether the web may be asked instead: only when the implementation is there
// and answered without the data, never for a link that is down or stopped.
bool AnsweredWithout(const CallResult& r) {
  return r.status != "disconnected" && r.status != "stopped";
}

}  // namespace

OneBotQqServices::OneBotQqServices(Connection& connection, QqServices& web)
    : connection_(connection), web_(web) {}

CallResult OneBotQqServices::ask(const char* action, const Json& params) {
  CallResult r;
  r.status = "disconnected";
  for (int attempt = 0; attempt < kAttempts && r.status == "disconnected"; ++attempt) {
    if (connection_.state() != LinkState::kConnected) {
      LogInfo(std::string("OneBot: ") + action + " waits for the link to " +
              connection_.options().url);
      if (!connection_.waitUntilConnected()) {
        r.status = "stopped";
        return r;
      }
    }
    r = connection_.call(action, params);
  }
  return r;
}

std::string OneBotQqServices::fetchNickname(const std::string& qq) {
  if (IsAccountNumber(qq)) {
    CallResult r = ask("get_stranger_info", Json{{"user_id", std::stoll(qq)}, {"no_cache", false}});
    if (r.ok) {
      std::string nick = CleanNetworkText(TextField(r.data, "nickname"));
      if (!nick.empty()) return nick;
    }
    if (!AnsweredWithout(r)) return {};
  }
  return web_.fetchNickname(qq);
}

std::string OneBotQqServices::fetchOwnAvatar() { return web_.fetchOwnAvatar(); }

std::string OneBotQqServices::fetchQqLevel(const std::string& qq) {
  if (IsAccountNumber(qq)) {
    CallResult r = ask("get_stranger_info", Json{{"user_id", std::stoll(qq)}, {"no_cache", true}});
    if (r.ok) {
      // Implementations name the field differently; 0 means they do not know.
      for (const char* key : {"qqLevel", "qq_level", "level"}) {
        std::optional<int64_t> level = IntField(r.data, key);
        if (level && *level > 0) return std::to_string(*level);
      }
    }
    if (!AnsweredWithout(r)) return {};
  }
  return web_.fetchQqLevel(qq);
}

int OneBotQqServices::fetchGroupList(std::vector<GroupListEntry>& entries) {
  CallResult list = ask("get_group_list", Json{{"no_cache", true}});
  CallResult login = list.ok ? ask("get_login_info", Json::object()) : CallResult{};
  const int64_t self = login.ok ? IntField(login.data, "user_id").value_or(0) : 0;
  if (!AnsweredWithout(list) || (list.ok && !AnsweredWithout(login))) {
    LogWarning("OneBot: no group list: the connection ended before the implementation answered");
    entries.clear();
    return 0;
  }
  if (!list.ok || !list.data.is_array() || self <= 0) {
    LogInfo("OneBot: the group list comes from the web service (the implementation gave none)");
    return web_.fetchGroupList(entries);
  }
  std::vector<GroupListEntry> owned, joined, managed;
  for (const Json& g : list.data) {
    const int64_t group = IntField(g, "group_id").value_or(0);
    if (group <= 0) continue;
    GroupListEntry e;
    e.group = std::to_string(group);
    e.name = CleanNetworkText(TextField(g, "group_name"));
    CallResult me = ask("get_group_member_info",
                        Json{{"group_id", group}, {"user_id", self}, {"no_cache", true}});
    const std::string role = me.ok ? TextField(me.data, "role") : std::string();
    if (role == "owner") {
      e.role = "群主";
      e.owner = std::to_string(self);
      owned.push_back(std::move(e));
    } else if (role == "admin") {
      e.role = "管理员";
      managed.push_back(std::move(e));
    } else {
      e.role = "成员";  // also when the role is unknown: never manage a group by guess
      joined.push_back(std::move(e));
    }
  }
  entries.clear();
  for (auto* part : {&owned, &joined, &managed})
    entries.insert(entries.end(), part->begin(), part->end());
  return static_cast<int>(entries.size());
}

bool OneBotQqServices::postAnnouncement(const std::string& group, std::string& title,
                                        const std::string& text, bool asGroupRules) {
  return web_.postAnnouncement(group, title, text, asGroupRules);
}

bool OneBotQqServices::postHomework(const std::string& group, const std::string& courseName,
                                    const std::string& content, bool remind,
                                    const std::string& syncGroups) {
  return web_.postHomework(group, courseName, content, remind, syncGroups);
}

}  // namespace bw::onebot
