// OneBotQqServices: QqServices answered by the OneBot implementation where it
// knows better than the QQ web pages — nicknames and levels (get_stranger_info),
// the group list with the robot's role (get_group_list, then
// get_group_member_info of the robot in each group) — and by the web services
// for everything else, or when the implementation cannot answer.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include "web/qq_services.h"

namespace bw::onebot {

class Connection;

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
  Connection& connection_;
  QqServices& web_;
};

}  // namespace bw::onebot
