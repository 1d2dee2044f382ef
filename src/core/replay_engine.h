// ReplayEngine: the robot without any account — the rules built as the
// service builds them, over a recording host (no call reaches a group), a
// virtual clock that every pause of the rules advances at once, and QQ
// services that look nothing up. Events go in as records through the
// lifecycle's entry points, one at a time, each handled to its end before the
// next; the timed tasks run when the clock is moved past their time, never on
// a thread of their own.
//
// `brindle-warden replay` runs recorded events through it over a home
// directory; the panel's sandbox runs one event through it over a copy.
//
// Thread-safety: one thread drives an engine; the host's observer and the run
// log's sinks are called on that thread.
#pragma once

#include <cstdint>
#include <string>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "host/recording_host.h"
#include "util/clock.h"
#include "web/qq_services.h"

namespace bw {

struct ReplayOptions {
  std::string runDirectory;  // its data/<self>/ is created when missing
  int64_t self = 10000;      // the robot's own account
  std::string nick;
  SystemTime start;  // where the virtual clock starts
  // The startup's member-list refresh of the ticked groups (off in the
  // sandbox: the recording host knows no member lists).
  bool refreshMembers = true;
  // Timed tasks due at the start run in start() (off in the sandbox: the
  // owner asks about one event, not about what the clock would bring).
  bool runDueTasks = true;
};

class ReplayEngine {
 public:
  explicit ReplayEngine(ReplayOptions options);
  ~ReplayEngine();  // shutdown()
  ReplayEngine(const ReplayEngine&) = delete;
  ReplayEngine& operator=(const ReplayEngine&) = delete;

  // Observers (host.setObserver, runLog().subscribe) go in before start().
  RecordingHost& host() { return host_; }
  VirtualClock& clock() { return clock_; }
  Lifecycle& lifecycle() { return lifecycle_; }
  RobotCore& core() { return core_; }

  // The startup sequence, synchronously: settings, lists and database of the
  // data directory loaded. False (and a log line) when it did not run.
  bool start();

  // Moves the clock forward to `target`, making every scheduler pass due on
  // the way at its own time.
  void moveClockTo(SystemTime target);
  // Runs the scheduler passes due now (after a switch may have started it).
  void runDueTasks();

  // One event through the entry point the host would have called, handled to
  // its end (with the timed tasks its pauses made due).
  void groupMessage(const GroupMessageRecord& record);
  void joinRequest(const JoinRequestRecord& record);
  void memberJoined(const MemberChangeRecord& record);
  void memberLeft(const MemberChangeRecord& record);

  // The entry points themselves, for callers that deliver mapped events and
  // then settle().
  const EventHandlers& entryPoints() const { return entryPoints_; }
  // Handled to its end: waits for the queues, runs the due timed tasks.
  void settle();

  // Stops the rules and saves the settings into the data directory. Idempotent.
  void shutdown();

 private:
  const ReplayOptions options_;
  RecordingHost host_;
  VirtualClock clock_;
  OfflineQqServices qq_;
  Lifecycle lifecycle_;
  RobotCore core_;
  EventHandlers entryPoints_;
};

}  // namespace bw
