#include "core/replay_engine.h"

#include "util/log.h"

namespace bw {
namespace {

CoreOptions EngineCoreOptions(const ReplayOptions& o) {
  CoreOptions options;
  options.refreshInsideStartup = true;
  options.refreshMembersAtStartup = o.refreshMembers;
  return options;
}

}  // namespace

ReplayEngine::ReplayEngine(ReplayOptions options)
    : options_(std::move(options)),
      clock_(options_.start, VirtualClock::Mode::kAutoAdvance),
      lifecycle_(host_, clock_, qq_, options_.runDirectory, QueueMode::kSynchronous),
      core_(lifecycle_, EngineCoreOptions(options_)),
      entryPoints_(LifecycleEntryPoints(lifecycle_)) {
  host_.setLoginQQ(options_.self);
  host_.setLoginNick(options_.nick);
  // The timed tasks run when the input moves the clock past their time, not
  // on a thread of their own racing the events over a clock that never waits.
  core_.modules.scheduler.useSteppedMode();
  // Verification deadlines likewise pass as the input moves the clock.
  core_.modules.verification.useSteppedMode();
}

ReplayEngine::~ReplayEngine() { shutdown(); }

bool ReplayEngine::start() {
  lifecycle_.setHooks(core_.hooks());
  lifecycle_.Initialize(0);
  lifecycle_._eventStartup();
  lifecycle_._eventEnable();  // synchronous: the whole startup runs here
  if (!core_.startedUp()) {
    LogWarning("replay: the startup sequence did not run");
    return false;
  }
  if (options_.runDueTasks) {
    core_.modules.scheduler.runDue();        // the startup's first pass
    core_.modules.verification.expireDue();  // deadlines passed while stopped
  }
  return true;
}

void ReplayEngine::moveClockTo(SystemTime target) {
  TaskScheduler& scheduler = core_.modules.scheduler;
  Verification& verification = core_.modules.verification;
  // Timed passes and verification deadlines each happen at their own time,
  // in time order. A task's pauses may carry the clock beyond the next pass.
  for (;;) {
    const bool taskDue = scheduler.schedulerRunning() && scheduler.nextPass() <= target;
    const std::optional<SystemTime> deadline = verification.nextDeadline();
    const bool deadlineDue = deadline && *deadline <= target;
    if (deadlineDue && (!taskDue || *deadline <= scheduler.nextPass())) {
      if (clock_.now() < *deadline) clock_.set(*deadline);
      if (verification.expireDue() == 0) break;
      continue;
    }
    if (!taskDue) break;
    if (clock_.now() < scheduler.nextPass()) clock_.set(scheduler.nextPass());
    if (scheduler.runDue() == 0) break;
  }
  if (clock_.now() < target) clock_.set(target);
}

void ReplayEngine::runDueTasks() {
  core_.modules.scheduler.runDue();
  core_.modules.verification.expireDue();
}

void ReplayEngine::settle() {
  lifecycle_.waitIdle();
  runDueTasks();  // pauses of the rules move the clock too
}

void ReplayEngine::groupMessage(const GroupMessageRecord& record) {
  entryPoints_.groupMessage(record);
  settle();
}

void ReplayEngine::joinRequest(const JoinRequestRecord& record) {
  entryPoints_.joinRequest(record);
  settle();
}

void ReplayEngine::memberJoined(const MemberChangeRecord& record) {
  entryPoints_.memberIncrease(record);
  settle();
}

void ReplayEngine::memberLeft(const MemberChangeRecord& record) {
  entryPoints_.memberDecrease(record);
  settle();
}

void ReplayEngine::shutdown() { core_.shutdown(); }

}  // namespace bw
