// Task actions: one timed task's action performed on every managed group in
// turn, with a pause after each group — a group message or a whole-group mute
// through the host, an announcement or a homework assignment through the QQ
// web services.
//
// Thread-safety: runTaskAction may run on several threads at once; it reads the
// managed groups once, when it starts.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <string_view>

namespace bw {

class Clock;
class HostApi;
class QqServices;
class ManagedGroups;

// What an action uses: the groups to act on, the host for messages and mutes,
// the web services for announcements and homework, the clock for the pauses.
struct TaskActionServices {
  Clock& clock;
  HostApi& host;
  QqServices& qq;
  const ManagedGroups& managedGroups;
};

// The two parts of an announcement's or homework's content: the text before
// the first "+++" and the text after the last "+++" (each empty when the
// content holds no "+++").
struct TaskContentParts {
  std::string head;
  std::string tail;
};
TaskContentParts SplitTaskContent(std::string_view content);

// The title that posts an announcement as the group rules.
inline constexpr std::string_view kGroupRulesTitle = "本群须知";
// The homework text used when the content gives none.
inline constexpr std::string_view kDefaultHomeworkText = "群通知";

// Performs `action` with `content` on every managed group, pausing
// `pauseSeconds` after each group (the last included). Results of the single
// calls are not examined: one group's failure does not stop the others. An
// unknown action does nothing but still pauses. A stop request cuts the pass
// short after the group being handled.
void runTaskAction(const TaskActionServices& services, std::string_view action,
                   std::string_view content, int64_t pauseSeconds, std::stop_token stop = {});

}  // namespace bw
