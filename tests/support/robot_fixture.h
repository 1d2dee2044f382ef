// RobotFixture: a whole Robot for scenario tests — RecordingHost, a VirtualClock
// (auto-advance, starting 2026-12-07 21:05:09 local time), a fresh SQLite
// database with the schema in a temporary data directory, default settings,
// empty lists, and offline QQ services (override `qq` answers via FakeQqServices).
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/rule_modules.h"
#include "events/managed_groups.h"
#include "host/identity.h"
#include "host/recording_host.h"
#include "logs/group_log.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/startup_load.h"
#include "support/temp_dir.h"
#include "util/clock.h"
#include "web/qq_services.h"

namespace bw::test {

// QQ services with canned answers; everything else fails like the offline ones.
class FakeQqServices : public OfflineQqServices {
 public:
  std::map<std::string, std::string> nicknames;  // qq → nickname
  std::map<std::string, std::string> levels;     // qq → level text
  std::vector<GroupListEntry> groups;
  std::vector<std::string> requests;  // "nickname:<qq>", "level:<qq>", ...
  std::mutex mu;  // guards `requests` while workers call in; read it once they are done

  std::string fetchNickname(const std::string& qq) override;
  std::string fetchQqLevel(const std::string& qq) override;
  int fetchGroupList(std::vector<GroupListEntry>& entries) override;
};

class RobotFixture {
 public:
  RobotFixture();
  ~RobotFixture();

  TempDir dir;  // RunDirectory; DataDirectory = dir + "data/10000/"
  VirtualClock clock;
  RecordingHost host;
  Settings settings;
  ListViews lists;
  RunLog runLog;
  GroupLog groupLog;
  Database db;
  FakeQqServices qq;
  ManagedGroups managedGroups;
  Identity identity;

  // The fixture's services for building modules through RuleModules (the
  // same wiring as the service's); `images` answers the image-size check.
  Services services(ImageInfo& images) {
    return Services{clock, host, settings,      lists,    runLog, groupLog,
                    db,    qq,   managedGroups, identity, images, {}};
  }

  // What the startup sequence reads and reports to.
  StartupContext startupContext() {
    return StartupContext{db, runLog, qq, settings, lists, identity};
  }

  // Managed groups (also fills the group list with ticked rows).
  void manage(std::vector<int64_t> groups);
  // Scalar query helpers for assertions.
  int64_t count(const std::string& sql);  // first column of the first row, as integer
  std::string text(const std::string& sql);
  // Run-log messages in order, as "type|message".
  std::vector<std::string> runLogLines() const;
};

}  // namespace bw::test
