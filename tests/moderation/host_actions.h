// Host actions in compact form, for comparing what a rule did:
// "send_group_msg 111111 <text>", "send_private_msg 123456 <text>",
// "set_group_kick 111111 123456", "set_group_ban 111111 123456 60".
#pragma once

#include <string>
#include <vector>

#include "host/recording_host.h"

namespace bw::test {

inline std::vector<std::string> CompactActions(const RecordingHost& host) {
  std::vector<std::string> out;
  for (const HostCall& c : host.actions()) {
    std::string line = c.action;
    if (c.action == "send_private_msg") {
      line += " " + std::to_string(c.account) + " " + c.text;
    } else {
      line += " " + std::to_string(c.group);
      if (c.action == "send_group_msg") line += " " + c.text;
      if (c.action == "set_group_kick") line += " " + std::to_string(c.account);
      if (c.action == "set_group_ban")
        line += " " + std::to_string(c.account) + " " + std::to_string(c.number);
    }
    out.push_back(line);
  }
  return out;
}

}  // namespace bw::test
