// Robot: a bag of every service, being taken apart: each module is to take the
// services it uses (see docs/architecture.md). Do not add new users.
//
// The referenced objects are thread-safe themselves.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <utility>

#include "host/identity.h"

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
        Identity& identity, std::stop_token stop = {})
      : clock(clock),
        host(host),
        settings(settings),
        lists(lists),
        runLog(runLog),
        groupLog(groupLog),
        db(db),
        qq(qq),
        managedGroups(managedGroups),
        identity(identity),
        stop(stop) {}
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
  Identity& identity;
  // Requested when the service shuts down; long waits and loops watch it.
  std::stop_token stop;

  std::string runDirectory() const { return identity.runDirectory(); }
  std::string dataDirectory() const { return identity.dataDirectory(); }
  void setDirectories(std::string run, std::string data) {
    identity.setDirectories(std::move(run), std::move(data));
  }
  std::string loginAccount() const { return identity.loginAccount(); }
  void setLoginAccount(std::string account) { identity.setLoginAccount(std::move(account)); }
};

}  // namespace bw
