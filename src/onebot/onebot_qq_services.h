// OneBotQqServices: QqServices answered by the OneBot implementation where it
// knows better than the QQ web pages — nicknames and levels (get_stranger_info),
// the group list with the robot's role (get_group_list, then
// get_group_member_info of the robot in each group) — and by the web services
// (over HTTPS) for everything else, or when the implementation answered
// without the data.
//
// While the link is down a question waits for it (until the connection stops)
// instead of going to the web: the web services need the session cookies only
// the implementation gives, and a first start's group list must come from the
// implementation once it is back. A question cut off by a drop is asked again
// after the reconnect, a few times at most.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <nlohmann/json.hpp>

#include "web/qq_services.h"

namespace bw::onebot {

class Connection;
struct CallResult;

class OneBotQqServices : public QqServices {
 public:
  // `web` is the fallback; both must outlive this object.
  OneBotQqServices(Connection& connection, QqServices& web);

  std::string fetchNickname(const std::string& qq) override;
  std::string fetchOwnAvatar() override;
  std::string fetchQqLevel(const std::string& qq) override;
  // Owner groups first, then plain memberships, then administered groups (the
  // order the web list gives); `owner` is known only where the robot owns it.
  int fetchGroupList(std::vector<GroupListEntry>& entries) override;
  bool postAnnouncement(const std::string& group, std::string& title, const std::string& text,
                        bool asGroupRules) override;
  bool postHomework(const std::string& group, const std::string& courseName,
                    const std::string& content, bool remind,
                    const std::string& syncGroups) override;

 private:
  // A read call that waits for the link and is asked again after a drop.
  CallResult ask(const char* action, const nlohmann::ordered_json& params);

  Connection& connection_;
  QqServices& web_;
};

}  // namespace bw::onebot
