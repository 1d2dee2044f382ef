// Identity: who and where the robot is — its own account and the host's run
// and data directories. The lifecycle fills it as the host enables the robot;
// the rules read it.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace bw {

class Identity {
 public:
  // RunDirectory (no trailing separator) and DataDirectory (RunDirectory +
  // "/data/" + account + "/", with the trailing separator; "" before startup).
  std::string runDirectory() const;
  std::string dataDirectory() const;
  void setDirectories(std::string runDirectory, std::string dataDirectory);

  // The robot's own account as decimal text ("" until the host named it).
  std::string loginAccount() const;
  void setLoginAccount(std::string account);

  // The robot's own account, and 0 (no account at all): nobody kicks, mutes or
  // warns either.
  bool isUntouchable(int64_t account) const;

 private:
  mutable std::mutex mu_;
  std::string runDirectory_;
  std::string dataDirectory_;
  std::string loginAccount_;
};

}  // namespace bw
