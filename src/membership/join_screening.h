// JoinScreening: answers requests to join a managed group — refuse blacklisted
// accounts, optionally accounts already in a group or below a QQ level, approve
// the rest (crediting a named inviter), 1000 ms after each approval.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include "events/records.h"

namespace bw {

struct Robot;
class InviteStats;

class JoinScreening {
 public:
  JoinScreening(Robot& robot, InviteStats& invites);

  void screenJoinRequest(const JoinRequestRecord& record);

 private:
  Robot& robot_;
  InviteStats& invites_;
};

}  // namespace bw
