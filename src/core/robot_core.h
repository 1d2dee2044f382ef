// RobotCore: the rule modules (RuleModules) built around one Lifecycle, and the
// Lifecycle's hooks filled with them — the startup sequence on the window thread,
// the five event handlers, the exit handler — plus the work the settings
// window did for the feature switches (status page, the scheduler switch).
//
// The hosts differ only in what they hand in: the host binding and QQ services
// (inside the Lifecycle), the image sizes, the database, and whether the startup's
// member-list refresh runs on a thread of its own (service) or inside the
// startup (replay).
//
// Thread-safety: the modules are thread-safe themselves; construction,
// hooks() and shutdown() belong to the thread that owns the Lifecycle.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "core/lifecycle.h"
#include "core/rule_modules.h"
#include "events/event_intake.h"
#include "host/image_info.h"

namespace bw {

struct CoreOptions {
  // Image sizes for the oversized-image check; null: the host's .cqimg files.
  ImageInfo* images = nullptr;
  // Deploys and connects the database; unset: SQLite in the data directory.
  std::function<bool(Database&)> connectDatabase;
  // Replay: the startup's member-list refresh runs to its end inside the startup.
  bool refreshInsideStartup = false;
  // The sandbox: no member-list refresh at all (it would only meet failures).
  bool refreshMembersAtStartup = true;
  // The message history's hourly pass on a timer thread of its own (the
  // service and the plug-in); without it passes come with the messages kept.
  bool historyTimer = false;
};

// The feature switches and their status labels, in the status page's order.
struct FeatureState {
  std::string label;  // "关键词回复", ...
  bool on = false;
};

class RobotCore {
 public:
  RobotCore(Lifecycle& lifecycle, CoreOptions options = {});
  ~RobotCore();  // shutdown()
  RobotCore(const RobotCore&) = delete;
  RobotCore& operator=(const RobotCore&) = delete;

  // startup, exit and the event handlers; the caller may add its own (web
  // tokens, update check, information boxes) before Lifecycle::setHooks.
  LifecycleHooks hooks();

  // Blocks until the startup sequence has finished (false: `stop` first).
  bool waitStartedUp(std::stop_token stop = {});
  bool startedUp() const;

  // Clean stop: event workers stopped (the running handler finishes), member
  // refresh and scheduler stopped, SaveAllSettings, database disconnected.
  // Idempotent.
  void shutdown();

  // The status page: seven switches, the listed and the managed group counts.
  std::vector<FeatureState> featureStatus() const;
  std::string featureStatusText() const;

  Lifecycle& lifecycle() { return lifecycle_; }

 private:
  std::unique_ptr<ImageInfo> ownImages_;

 public:
  RuleModules modules;

 private:
  void runStartup();
  void onSettingChanged(const std::string& name);

  Lifecycle& lifecycle_;
  const CoreOptions options_;
  int subscription_ = 0;
  mutable std::mutex mu_;
  std::condition_variable_any startedCv_;
  bool startedUp_ = false;
  bool shutDown_ = false;
};

// The Lifecycle's event entry points as handlers, for hosts that deliver events
// already as records (OneBot, replay): each record goes through the entry
// point the legacy host would have called, with its running-flag check and
// duplicate suppression.
EventHandlers LifecycleEntryPoints(Lifecycle& lifecycle);

}  // namespace bw
