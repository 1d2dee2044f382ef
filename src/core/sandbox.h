// The sandbox (试一试): one event — a group message, a join, a leave or a join
// request — run through the rules with the robot's current settings, lists
// and database, to see what the robot would do, without acting on any group
// and without touching the robot's own files or database.
//
// It runs on a copy: the data directory is copied into a fresh private
// temporary directory (the database as a consistent snapshot when it is
// connected), a ReplayEngine starts over the copy, takes the event, and the
// copy is removed. The robot's settings reach the copy through the files,
// which the panel saves on every change.
//
// Thread-safety: RunSandbox may be called from any thread while the robot
// runs; it reads the robot's files and database only (the database's own lock
// serialises the snapshot with the rules' statements). Callers that change
// settings should hold their save lock around it, so the copy is never taken
// half-saved.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/robot_core.h"
#include "host/recording_host.h"
#include "logs/run_log.h"
#include "util/status.h"

namespace bw {

struct SandboxEvent {
  enum class Kind { kGroupMessage, kJoin, kLeave, kJoinRequest };
  Kind kind = Kind::kGroupMessage;
  int64_t group = 0;
  int64_t account = 0;  // the sender, the member who joins or leaves, the applicant
  int64_t inviter = 0;  // join and join request: who invited (0: nobody)
  std::string text;     // the message (CQ codes allowed) or the request's comment
};

struct SandboxOutcome {
  std::vector<HostCall> calls;      // the calls that would act on a group, in order
  std::vector<RunLogEntry> runLog;  // the run-log entries the event wrote
  bool managed = false;             // the group is ticked in the group list
};

// Runs `event` on a copy of `robot`'s data. An error when the robot has no
// data directory yet or the copy cannot be made; the robot is untouched either way.
Status RunSandbox(RobotCore& robot, const SandboxEvent& event, SandboxOutcome& outcome);

}  // namespace bw
