// A run of the program for the tests of this folder: its standard output and
// error in one file of its home, stopped by a signal, killed if a test leaves.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "util/files.h"

namespace bw::test {

class Service {
 public:
  Service(const std::string& home, std::vector<std::string> args)
      : log_(home + "service-" + std::to_string(++runs_) + ".log") {
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(fd, 1);
      dup2(fd, 2);
      std::vector<char*> argv;
      static std::string program = BW_PROGRAM;
      argv.push_back(program.data());
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
  }
  ~Service() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  std::string log() const {
    std::string text;
    (void)ReadFileBytes(log_, text);
    return text;
  }
  bool waitForLog(const std::string& text,
                  std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (log().find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() >= end || exitedNow()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
  }
  int stop(int sig = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    kill(pid_, sig);
    return wait(limit);
  }
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      if (exitedNow()) return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
  }

 private:
  bool exitedNow() {
    if (!exited_ && waitpid(pid_, &status_, WNOHANG) == pid_) exited_ = true;
    return exited_;
  }
  static inline int runs_ = 0;  // each run its own log: a second one never reads the first's
  std::string log_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = 0;
};

}  // namespace bw::test
