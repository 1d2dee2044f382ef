// ManagedGroups: the ordered group numbers ticked in the group list, i.e. the
// groups the robot manages. Position P (1-based) owns row P-1 of the welcome
// and limit lists.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace bw {

class ManagedGroups {
 public:
  void replace(std::vector<int64_t> groups);
  // 1-based position, 0 when the group is not managed.
  int position(int64_t group) const;
  bool contains(int64_t group) const { return position(group) != 0; }
  std::vector<int64_t> snapshot() const;
  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::vector<int64_t> groups_;
};

}  // namespace bw
