// MemberLimit: keeps each managed group at or below its member limit, using the
// limit list (one row per managed group, in ManagedGroups order: 现有人数,
// 限制人数, 踢掉人数). A join above the limit removes one member chosen by the
// options (never-spoken first; earliest joiner, latest joiner or oldest last
// message), never the robot itself nor an owner or administrator of the group.
// Ticking 选择框_开启群人数控制 recounts at once.
//
// Thread-safety: all members may be called from any thread; one count update
// at a time.
#pragma once

#include <mutex>
#include <string>

namespace bw {

struct Robot;
class InviteStats;

class MemberLimit {
 public:
  MemberLimit(Robot& robot, InviteStats& invites);
  ~MemberLimit();
  MemberLimit(const MemberLimit&) = delete;
  MemberLimit& operator=(const MemberLimit&) = delete;

  // P = 1-based position among the managed groups.
  void enforceMemberLimit(int position, bool joined);
  void recountMembers();

 private:
  std::string chooseVictim(const std::string& group);
  void removeVictim(const std::string& group, const std::string& victim);

  Robot& robot_;
  InviteStats& invites_;
  std::mutex mu_;
  int subscription_ = 0;
};

}  // namespace bw
