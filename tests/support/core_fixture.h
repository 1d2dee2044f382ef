// A robot as the service runs it, on a temporary run directory: account 10000
// (data in `data`), a virtual clock, recorded host calls, canned QQ services and
// synchronous queues; its run log gathered as "type|message" lines.
//
// Thread-safety: the log lines are guarded; the rest belongs to the test.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "host/recording_host.h"
#include "support/robot_fixture.h"
#include "support/temp_dir.h"
#include "util/clock.h"

namespace bw::test {

class CoreFixture : public ::testing::Test {
 protected:
  CoreFixture();

  // The composition's options: the startup refreshes the member lists itself.
  static CoreOptions coreOptions();

  // The startup sequence, as the service runs it once the account is known.
  void startRobot();
  // The run-log lines so far.
  std::vector<std::string> runLog();
  bool logged(const std::string& line);

  // A second robot on the same run directory, as after a restart: a host of
  // its own, the fixture's clock and QQ services. The constructor runs its
  // startup sequence.
  struct Restarted {
    explicit Restarted(CoreFixture& f);
    RecordingHost host;
    Lifecycle lifecycle;
    RobotCore core;
  };

  TempDir dir;
  std::string runDirectory, data;
  RecordingHost host;
  VirtualClock clock;
  FakeQqServices qq;
  Lifecycle lifecycle;
  RobotCore core;
  std::mutex logMu;
  std::vector<std::string> log;  // read directly only while no worker writes
};

}  // namespace bw::test
