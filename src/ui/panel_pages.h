// The panel's pages as data: which option controls a page gathers, in which
// groups and rows, with the window's captions; the feature-status page; and the
// checks every value from the page passes before it reaches the settings.
// The browser renders what it is given, so control names stay in this layer.
//
// Thread-safety: pure functions over a thread-safe Settings.
#pragma once

#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "core/robot_core.h"
#include "settings/settings_model.h"

namespace bw::ui {

using Json = nlohmann::json;

// The eight pages of the navigation column, in their order.
const std::vector<std::string>& PageNames();

// A page of option controls with their current values, or nullopt when the
// page has no option layout (yet).
std::optional<Json> OptionPage(const std::string& page, const Settings& settings);

// The feature-status page: the boxes "监控数据", "基础功能", "更多功能".
Json FeatureStatusPage(const std::vector<FeatureState>& features, size_t listedGroups,
                       size_t managedGroups);

// One change from the page, checked: a check box takes true/false, a radio box
// only true (selecting it), an edit box text (a number where the option is a
// number, within its range). Returns the message that refuses it, or "".
std::string CheckChange(const std::string& name, const Json& value, std::string* text,
                        bool* checked);

// Applies a set of changes {"name": value, ...}: either all of them (through the
// same setters as the window, so the switches' handlers run) or, when any is
// refused, none. An emptied edit box with a default takes its default (see
// ControlSpec::emptyMeansDefault); their names go to `restored`. Returns the
// refusal's message, or "".
std::string ApplyChanges(Settings& settings, const Json& changes,
                         std::vector<std::string>* restored = nullptr);

}  // namespace bw::ui
