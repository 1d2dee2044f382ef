#include "events/managed_groups.h"

#include <utility>

namespace bw {

void ManagedGroups::replace(std::vector<int64_t> groups) {
  std::lock_guard lock(mu_);
  groups_ = std::move(groups);
}

int ManagedGroups::position(int64_t group) const {
  std::lock_guard lock(mu_);
  // First match wins: a group listed twice owns the earlier rows.
  for (size_t i = 0; i < groups_.size(); ++i) {
    if (groups_[i] == group) return static_cast<int>(i + 1);
  }
  return 0;
}

std::vector<int64_t> ManagedGroups::snapshot() const {
  std::lock_guard lock(mu_);
  return groups_;
}

size_t ManagedGroups::size() const {
  std::lock_guard lock(mu_);
  return groups_.size();
}

}  // namespace bw
