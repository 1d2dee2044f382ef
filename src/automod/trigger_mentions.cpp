// Mentions: a message that mentions many members at once, or everyone.
#include <algorithm>
#include <vector>

#include "automod/triggers.h"

namespace bw::automod {

bool MentionsHit(const Trigger& t, std::string_view raw, std::string& reason) {
  static constexpr std::string_view kAt = "[CQ:at,qq=";
  std::vector<std::string_view> accounts;
  bool everyone = false;
  for (size_t pos = raw.find(kAt); pos != std::string_view::npos; pos = raw.find(kAt, pos)) {
    pos += kAt.size();
    const size_t end = raw.find_first_of(",]", pos);
    if (end == std::string_view::npos) break;
    const std::string_view who = raw.substr(pos, end - pos);
    if (who == "all")
      everyone = true;
    else if (std::find(accounts.begin(), accounts.end(), who) == accounts.end())
      accounts.push_back(who);
    if (accounts.size() > 10000) break;  // bounded whatever the message holds
  }
  if (t.everyone && everyone) {
    reason = "@全体成员";
    return true;
  }
  if (t.count > 0 && static_cast<int64_t>(accounts.size()) > t.count) {
    reason = "一条消息@了 " + std::to_string(accounts.size()) + " 人（上限 " +
             std::to_string(t.count) + " 人）";
    return true;
  }
  return false;
}

}  // namespace bw::automod
