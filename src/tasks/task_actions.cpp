#include "tasks/task_actions.h"

#include <algorithm>

#include "events/delay.h"
#include "events/managed_groups.h"
#include "host/host_api.h"
#include "tasks/task_list.h"
#include "web/qq_services.h"

namespace bw {

TaskContentParts SplitTaskContent(std::string_view content) {
  constexpr std::string_view kSeparator = "+++";
  const size_t first = content.find(kSeparator);
  if (first == std::string_view::npos) return {};
  const size_t last = content.rfind(kSeparator);
  return {std::string(content.substr(0, first)),
          std::string(content.substr(last + kSeparator.size()))};
}

namespace {

void ActOnGroup(const TaskActionServices& services, std::string_view action,
                std::string_view content, int64_t group) {
  const std::string groupText = std::to_string(group);
  if (action == kActionSendMessage) {
    services.host.CQ_sendGroupMsg(group, std::string(content));
  } else if (action == kActionWholeBan) {
    services.host.CQ_setGroupWholeBan(group, true);
  } else if (action == kActionLiftWholeBan) {
    services.host.CQ_setGroupWholeBan(group, false);
  } else if (action == kActionAnnouncement) {
    auto parts = SplitTaskContent(content);
    if (parts.tail.empty()) parts.tail = parts.head;
    const bool asGroupRules = parts.head == kGroupRulesTitle;
    services.qq.postAnnouncement(groupText, parts.head, parts.tail, asGroupRules);
  } else if (action == kActionHomework) {
    auto parts = SplitTaskContent(content);
    if (parts.tail.empty()) parts.tail = std::string(kDefaultHomeworkText);
    services.qq.postHomework(groupText, parts.head, parts.tail, /*remind=*/true, /*syncGroups=*/"");
  }
}

}  // namespace

void runTaskAction(const TaskActionServices& services, std::string_view action,
                   std::string_view content, int64_t pauseSeconds, std::stop_token stop) {
  const auto groups = services.managedGroups.snapshot();
  // An interval beyond a day is a typing error, not a plan; keep delay's int32 range.
  const int64_t pauseMillis = std::clamp<int64_t>(pauseSeconds, 0, 86400) * 1000;
  for (int64_t group : groups) {
    if (stop.stop_requested()) return;
    ActOnGroup(services, action, content, group);
    if (!delay(services.clock, static_cast<int32_t>(pauseMillis), 0, stop)) return;
  }
}

}  // namespace bw
