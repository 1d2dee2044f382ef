// Robot: the process-wide state every rule works on — the host binding, the
// shared database, the option controls and list views, the logs, the QQ
// services, the managed groups, the clock and the directories. One Robot exists
// per running plug-in or service; the modules hold a reference to it.
//
// The referenced objects are thread-safe themselves; the few texts kept here
// are guarded by the Robot's own lock.
#pragma once

#include <cstdint>
#include <mutex>
#include <stop_token>
#include <string>

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class RunLog;
class GroupLog;
class Database;
class QqServices;
class ManagedGroups;

struct Robot {
  Robot(Clock& clock, HostApi& host, Settings& settings, ListViews& lists, RunLog& runLog,
        GroupLog& groupLog, Database& db, QqServices& qq, ManagedGroups& managedGroups,
        std::stop_token stop = {})
      : clock(clock), host(host), settings(settings), lists(lists), runLog(runLog),
        groupLog(groupLog), db(db), qq(qq), managedGroups(managedGroups), stop(stop) {}
  Robot(const Robot&) = delete;
  Robot& operator=(const Robot&) = delete;

  Clock& clock;
  HostApi& host;
  Settings& settings;
  ListViews& lists;
  RunLog& runLog;
  GroupLog& groupLog;
  Database& db;
  QqServices& qq;
  ManagedGroups& managedGroups;
  // Requested when the service shuts down; long waits and loops watch it.
  std::stop_token stop;

  // RunDirectory (no trailing separator) and DataDirectory (RunDirectory +
  // "/data/" + account + "/", with the trailing separator).
  std::string runDirectory() const;
  std::string dataDirectory() const;
  void setDirectories(std::string runDirectory, std::string dataDirectory);

  // The robot's own account as decimal text (recognises mentions of the robot).
  std::string loginAccount() const;
  void setLoginAccount(std::string account);

 private:
  mutable std::mutex mu_;
  std::string runDirectory_;
  std::string dataDirectory_;
  std::string loginAccount_;
};

}  // namespace bw
