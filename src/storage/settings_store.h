// SettingsStore: the persistence of the option controls and list views in
// DataDirectory — "setsoft.ini" (sections 编辑框/选择框/单选框), the list files
// "群列表.txt", "任务列表.txt", "回复关键词.txt", the per-group files "群设置.ini",
// "人数限制.ini" and the welcome files, and the colour file "<run>/data/brindle.ini" —
// plus the lists derived from the group list (ManagedGroups, welcome list,
// limit list).
//
// Every file is written to a temporary file and renamed; failures are logged.
// Thread-safety: all members may be called from any thread; saves are serialised.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "settings/settings_model.h"
#include "storage/ini_file.h"

namespace bw {

class Clock;
class Identity;
class ManagedGroups;
class RunLog;
struct ListViews;

class SettingsStore {
 public:
  SettingsStore(Settings& settings, ListViews& lists, ManagedGroups& managedGroups, RunLog& runLog,
                const Identity& identity, const Clock& clock);

  // `file` empty = "<run>/data/setsoft.ini".
  void SaveControls(ControlKind kind, const std::string& file);
  void RestoreControls(ControlKind kind, const std::string& file);

  // Every option into setsoft.ini in one atomic write (its three sections
  // together), then the list files, each in one atomic write.
  void SaveAllSettings();
  // Loads 群列表.txt, 任务列表.txt, 回复关键词.txt into their views.
  void LoadGroupList();
  void LoadTaskList();
  void LoadKeywordList();

  void RebuildGroupDerivedLists();
  void SetWelcomeForCheckedGroups();
  // `confirmed`: the user's answer to "你限制的人数过少确定设置么?" (asked by the
  // user interface when the limit is below 500).
  void SetLimitForCheckedGroups(bool confirmed);
  static bool LimitNeedsConfirmation(const Settings& settings);

  // Welcome text of a group (the file named by the group number), "" if none.
  std::string welcomeText(const std::string& group) const;

  // "颜色" of brindle.ini, default 11772224.
  int64_t windowColour() const;
  void setWindowColour(int64_t colour);

  // Called after RebuildGroupDerivedLists finished (member counts refresh hangs here).
  void setAfterRebuild(std::function<void()> hook);

  std::string path(const std::string& name) const;  // DataDirectory + name

 private:
  // The saved controls of one kind as the keys of their section.
  ProfileEntries controlEntries(ControlKind kind) const;

  Settings& settings_;
  ListViews& lists_;
  ManagedGroups& managedGroups_;
  RunLog& runLog_;
  const Identity& identity_;
  const Clock& clock_;
  mutable std::mutex mu_;
  std::function<void()> afterRebuild_;
};

}  // namespace bw
