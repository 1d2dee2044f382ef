// MemberRefresh: the group list (groups the robot owns or administers, from
// QqServices::fetchGroupList) and the 群成员 copy of each ticked group's member
// list (from the host). A group's rows are replaced in one transaction, so
// readers never see a half-filled group and a failure keeps the old rows.
//
// refreshTickedMembers runs on a thread of its own, at most one at a time; a
// new run stops the previous one between statements. With 选择框_开启群人数控制
// on, the member counts are recounted after every rebuild of the group-derived
// lists (the store's after-rebuild hook is set here).
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class RunLog;
class QqServices;
class MemberTable;
class AccountLists;
class MemberLimit;
class SettingsStore;

class MemberRefresh {
 public:
  MemberRefresh(Clock& clock, HostApi& host, Settings& settings, ListViews& views, RunLog& runLog,
                QqServices& qq, std::stop_token stop, MemberTable& members, AccountLists& lists,
                MemberLimit& limit, SettingsStore& store);
  ~MemberRefresh();  // stops and joins a running refresh
  MemberRefresh(const MemberRefresh&) = delete;
  MemberRefresh& operator=(const MemberRefresh&) = delete;

  // False when no list could be fetched: the group list then stays as it was.
  bool refreshGroupList();
  // Starts the refresh thread (stopping a run in progress first).
  void startRefreshTickedMembers();
  // The refresh itself, on the calling thread (replay and tests). Waits for a
  // run in progress on another thread to end first.
  void refreshTickedMembers(std::stop_token stop = {});
  void refreshOneGroup(size_t row);
  void onGroupTicksChanged(size_t row, bool ticked);
  // Column-title click: column 0 ticks or unticks every row.
  void onColumnTitleClicked(size_t column);

  void stop();
  void waitIdle();
  bool running() const;

 private:
  enum class RowResult { kSkipped, kRefreshed, kFailed, kStopped };
  RowResult refreshRow(size_t row, std::stop_token stop);
  void setStatus(size_t row, const std::string& group, const std::string& status);

  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  ListViews& views_;
  RunLog& runLog_;
  QqServices& qq_;
  std::stop_token stop_;  // the robot's shutdown
  MemberTable& members_;
  AccountLists& lists_;
  MemberLimit& limit_;
  SettingsStore& store_;
  mutable std::mutex mu_;  // guards worker_
  std::jthread worker_;
  std::mutex runMu_;  // held for a whole run of refreshTickedMembers
  std::atomic<bool> running_{false};
};

}  // namespace bw
