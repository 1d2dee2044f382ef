// StartupLoad: the one-time restore at start — temporary files of saves
// interrupted by a kill removed from the data directories, database deployed and
// connected, the three account lists loaded, the list files and option
// controls restored, the keyword table rebuilt, the scheduler and the
// member-list refresh started — each step reported in the run log under
// "初始化".
//
// The steps that belong to modules above storage come in as callbacks; an
// unset callback skips its step.
//
// Thread-safety: runs on the calling thread; call it once per process.
#pragma once

#include <functional>
#include <string>

namespace bw {

class Database;
class Identity;
class QqServices;
class RunLog;
class Settings;
class SettingsStore;
struct ListViews;

struct StartupSteps {
  // Shows the robot's avatar; unset: the avatar is not even fetched.
  std::function<void(const std::string& imageBytes)> showAvatar;
  // Deploys and connects the database; unset: the SQLite file of the data
  // directory ("brindlewarden.db", created with the schema when missing).
  std::function<bool(Database&)> connectDatabase;
  std::function<void()> loadAdministrators;
  std::function<void()> loadWhitelist;
  std::function<void()> loadBlacklist;
  std::function<void()> rebuildKeywordReplies;
  // Called only when 选择框_开启定时任务 is ticked and the task list has rows.
  std::function<void()> startScheduler;
  std::function<void()> refreshFeatureStatus;
  // The member-list refresh of the ticked groups (a thread of its own in the
  // service, on the calling thread in replay).
  std::function<void()> startMemberRefresh;
};

// What the restore reads and reports to, besides the store.
struct StartupContext {
  Database& db;
  RunLog& runLog;
  QqServices& qq;
  const Settings& settings;
  const ListViews& lists;
  const Identity& identity;
};

void StartupLoad(const StartupContext& context, SettingsStore& store, const StartupSteps& steps);

}  // namespace bw
