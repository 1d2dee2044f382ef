// MemberLimit: keeps each managed group at or below its member limit, using the
// limit list (one row per managed group, in ManagedGroups order).
//
// Thread-safety: all members may be called from any thread; one count update
// at a time.
#pragma once

#include <mutex>

namespace bw {

struct Robot;
class InviteStats;

class MemberLimit {
 public:
  MemberLimit(Robot& robot, InviteStats& invites);

  // P = 1-based position among the managed groups.
  void enforceMemberLimit(int position, bool joined);
  void recountMembers();

 private:
  Robot& robot_;
  InviteStats& invites_;
  std::mutex mu_;
};

}  // namespace bw
