// Arrivals: a member joined a managed group — record, log, mute, group card,
// welcome, invite credit and member-count control, in that order.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "events/records.h"

namespace bw {

struct Robot;
class InviteStats;
class MemberLimit;

class Arrivals {
 public:
  // Also writes the "操作" run-log entry when 选择框_开启进群欢迎 is switched.
  Arrivals(Robot& robot, InviteStats& invites, MemberLimit& limit);
  ~Arrivals();
  Arrivals(const Arrivals&) = delete;
  Arrivals& operator=(const Arrivals&) = delete;

  void onMemberJoined(const MemberChangeRecord& record);
  bool isMemberRecorded(const std::string& qq, const std::string& group);
  void sendWelcome(int64_t member, int64_t group);
  // The card a newcomer gets from the card options (nickname cut to 2×N GBK
  // bytes without splitting a character, prefix, suffix).
  std::string buildCard(const std::string& nickname) const;

 private:
  Robot& robot_;
  InviteStats& invites_;
  MemberLimit& limit_;
  int subscription_ = 0;
};

}  // namespace bw
