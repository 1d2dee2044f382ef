#include "host/robot.h"

namespace bw {

std::string Robot::runDirectory() const {
  std::lock_guard lock(mu_);
  return runDirectory_;
}

std::string Robot::dataDirectory() const {
  std::lock_guard lock(mu_);
  return dataDirectory_;
}

void Robot::setDirectories(std::string runDirectory, std::string dataDirectory) {
  std::lock_guard lock(mu_);
  runDirectory_ = std::move(runDirectory);
  dataDirectory_ = std::move(dataDirectory);
}

std::string Robot::loginAccount() const {
  std::lock_guard lock(mu_);
  return loginAccount_;
}

void Robot::setLoginAccount(std::string account) {
  std::lock_guard lock(mu_);
  loginAccount_ = std::move(account);
}

}  // namespace bw
