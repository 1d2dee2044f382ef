// QqServices: what the robot asks about QQ accounts and groups, and posts to
// groups, beyond the host's calls. WebQqServices implements it over the QQ web
// services with the account's cookies; a host adapter that can answer better
// (OneBot: get_stranger_info, get_group_list) overrides the operations it can
// and falls back to the web for the rest.
//
// All texts UTF-8; numbers as decimal text. Failures give the empty result.
// Thread-safety: implementations accept calls from any thread.
#pragma once

#include <string>
#include <vector>

namespace bw {

struct GroupListEntry {
  std::string group;  // gc
  std::string name;   // gn
  std::string owner;  // owner's QQ number
  std::string role;   // "群主", "管理员" or "成员"

  bool operator==(const GroupListEntry&) const = default;
};

class QqServices {
 public:
  virtual ~QqServices() = default;

  virtual std::string fetchNickname(const std::string& qq) = 0;
  virtual std::string fetchOwnAvatar() = 0;  // image bytes
  virtual std::string fetchQqLevel(const std::string& qq) = 0;
  // Number of entries; `entries` is replaced by the list.
  virtual int fetchGroupList(std::vector<GroupListEntry>& entries) = 0;
  // With `asGroupRules` the caller's title becomes "本群须知".
  virtual bool postAnnouncement(const std::string& group, std::string& title,
                                const std::string& text, bool asGroupRules) = 0;
  virtual bool postHomework(const std::string& group, const std::string& courseName,
                            const std::string& content, bool remind,
                            const std::string& syncGroups) = 0;
};

// Answers every operation with its failure result (replay, tests).
class OfflineQqServices : public QqServices {
 public:
  std::string fetchNickname(const std::string&) override { return {}; }
  std::string fetchOwnAvatar() override { return {}; }
  std::string fetchQqLevel(const std::string&) override { return {}; }
  int fetchGroupList(std::vector<GroupListEntry>& entries) override {
    entries.clear();
    return 0;
  }
  bool postAnnouncement(const std::string&, std::string& title, const std::string&,
                        bool asGroupRules) override {
    if (asGroupRules) title = "本群须知";
    return false;
  }
  bool postHomework(const std::string&, const std::string&, const std::string&, bool,
                    const std::string&) override {
    return false;
  }
};

}  // namespace bw
