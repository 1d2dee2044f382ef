// MemberLimit: keeps each managed group at or below its member limit, using the
// limit list (one row per managed group, in ManagedGroups order: 现有人数,
// 限制人数, 踢掉人数). A join above the limit removes one member chosen by the
// options (never-spoken first; earliest joiner, latest joiner or oldest last
// message), never the robot itself nor an owner or administrator of the group,
// through MemberRemoval; 踢掉人数 counts the kicks the host did. Ticking
// 选择框_开启群人数控制 recounts at once.
//
// Thread-safety: all members may be called from any thread; one count update
// at a time.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class Identity;
class MemberTable;
class MemberRemoval;
class CaseRecorder;

class MemberLimit {
 public:
  MemberLimit(Clock& clock, HostApi& host, Settings& settings, ListViews& views,
              const Identity& identity, MemberTable& members, MemberRemoval& removal,
              CaseRecorder& cases);
  ~MemberLimit();
  MemberLimit(const MemberLimit&) = delete;
  MemberLimit& operator=(const MemberLimit&) = delete;

  // P = 1-based position among the managed groups.
  void enforceMemberLimit(int position, bool joined);
  void recountMembers();

 private:
  int64_t chooseVictim(int64_t group);
  // Announces and kicks the victim; the limit-list row's 踢掉人数 grows once
  // the kick was done.
  void removeVictim(size_t row, const std::string& group, int64_t victim);

  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  ListViews& views_;
  const Identity& identity_;
  MemberTable& members_;
  MemberRemoval& removal_;
  CaseRecorder& cases_;
  std::mutex mu_;
  int subscription_ = 0;
};

}  // namespace bw
