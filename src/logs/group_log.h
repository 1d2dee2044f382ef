// GroupLog: the daily join/leave log, one file per local date in
// DataDirectory/群数据/ ("yyyy-M-d.txt"), one line per event:
// "yyyy-M-d hh:mm:ss" TAB group TAB word TAB member TAB operator CR LF,
// with "进群" or "退群" as the word. A call that repeats the previous one's group,
// member and word writes nothing.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace bw {

class GroupLog {
 public:
  GroupLog(const Clock& clock, std::string directory);  // directory = DataDirectory + "群数据/"

  void WriteGroupLog(std::string_view group, std::string_view member, std::string_view op,
                     std::string_view word);

  void setDirectory(std::string directory);
  std::string directory() const;
  // The path of the day file for `t`.
  std::string dayFile(SystemTime t) const;

 private:
  const Clock& clock_;
  mutable std::mutex mu_;
  std::string directory_;
  std::string lastGroup_, lastMember_, lastWord_;
};

}  // namespace bw
