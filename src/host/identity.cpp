#include "host/identity.h"

#include <utility>

namespace bw {

std::string Identity::runDirectory() const {
  std::lock_guard lock(mu_);
  return runDirectory_;
}

std::string Identity::dataDirectory() const {
  std::lock_guard lock(mu_);
  return dataDirectory_;
}

void Identity::setDirectories(std::string runDirectory, std::string dataDirectory) {
  std::lock_guard lock(mu_);
  runDirectory_ = std::move(runDirectory);
  dataDirectory_ = std::move(dataDirectory);
}

std::string Identity::loginAccount() const {
  std::lock_guard lock(mu_);
  return loginAccount_;
}

void Identity::setLoginAccount(std::string account) {
  std::lock_guard lock(mu_);
  loginAccount_ = std::move(account);
}

bool Identity::isUntouchable(int64_t account) const {
  if (account == 0) return true;
  std::lock_guard lock(mu_);
  return loginAccount_ == std::to_string(account);
}

}  // namespace bw
