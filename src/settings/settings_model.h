// Settings: the live state of every option control of the settings window
// (edit boxes, check boxes, radio boxes, the date box and the combo box), keyed
// by control name. Handlers read options from here at the moment they need
// them; the web panel, the settings files and replay's control lines are views
// of this one model.
//
// Thread-safety: all members may be called from any thread. Listeners run on
// the thread that made the change, after the lock is released.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

enum class ControlKind { kEdit, kCheck, kRadio, kDate, kCombo };

struct ControlSpec {
  std::string name;  // e.g. opt::kAdDetectionOn, the key in setsoft.ini
  ControlKind kind;
  std::string caption;          // the label the window shows beside it
  std::string defaultText;      // edit, date, combo
  bool defaultChecked = false;  // check, radio
  std::string radioGroup;       // radio boxes of one group exclude each other
  bool saved = true;            // written to setsoft.ini
  // The control as the owner knows it from the window ("禁言时间"), for the
  // messages that speak of it; never the internal name.
  std::string label;

  // An edit box stored empty comes back with its default at the next start
  // (the settings files rely on that), so an emptied box takes it at once.
  bool emptyMeansDefault() const {
    return kind == ControlKind::kEdit && saved && !defaultText.empty();
  }
};

class Settings {
 public:
  Settings();  // every control at its window default

  // Every control, in the window's order (the order files are written in).
  static const std::vector<ControlSpec>& Controls();
  static const ControlSpec* Find(std::string_view name);

  // Edit-box (and date/combo) text. An unknown name gives "" and logs an error.
  std::string text(std::string_view name) const;
  // TextToInt of the text.
  int64_t number(std::string_view name) const;
  // Check or radio state. An unknown name gives false and logs an error.
  bool checked(std::string_view name) const;

  // Setting a control that is not of the right kind (or unknown) returns false
  // and changes nothing. A radio group always has exactly one box selected, as
  // in the window: selecting a box clears the others of its group, and
  // clearing the selected box selects the group's default (or, when that is
  // the box cleared, the next box of the group). Listeners are told only of
  // controls whose value changed.
  bool setText(std::string_view name, std::string value);
  bool setChecked(std::string_view name, bool checked);

  // Restores every control to its default (tests).
  void resetToDefaults();

  using Listener = std::function<void(const std::string& name)>;
  int subscribe(Listener listener);
  void unsubscribe(int id);

  // While a RestoreScope lives, changes come from the settings files, not from
  // a person: listeners still run (derived state must follow), but entries
  // that report a user's action ("开启广告检测" ...) are not written.
  class RestoreScope {
   public:
    explicit RestoreScope(Settings& settings) : settings_(settings) { ++settings_.restoring_; }
    ~RestoreScope() { --settings_.restoring_; }
    RestoreScope(const RestoreScope&) = delete;
    RestoreScope& operator=(const RestoreScope&) = delete;

   private:
    Settings& settings_;
  };
  bool restoring() const { return restoring_.load() > 0; }

 private:
  void notify(const std::vector<std::string>& changed);

  mutable std::mutex mu_;
  std::map<std::string, std::string, std::less<>> texts_;
  std::map<std::string, bool, std::less<>> checks_;
  std::mutex listenersMu_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  std::atomic<int> restoring_{0};
};

}  // namespace bw
