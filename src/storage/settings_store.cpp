#include "storage/settings_store.h"

#include <charconv>
#include <unordered_set>

#include "events/managed_groups.h"
#include "host/identity.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "storage/ini_file.h"
#include "storage/list_file.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

constexpr char kEditBreak[] = "><br><";
constexpr int64_t kDefaultColour = 11772224;

const char* SectionOf(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit:
      return "编辑框";
    case ControlKind::kCheck:
      return "选择框";
    case ControlKind::kRadio:
      return "单选框";
    default:
      return nullptr;
  }
}

// Every line break becomes the marker, so the value stays one INI line; a
// restore gives CR LF back.
std::string EncodeEditText(const std::string& text) {
  std::string out = ReplaceAll(text, "\r\n", kEditBreak);
  out = ReplaceAll(out, "\n", kEditBreak);
  return ReplaceAll(out, "\r", kEditBreak);
}

}  // namespace

SettingsStore::SettingsStore(Settings& settings, ListViews& lists, ManagedGroups& managedGroups,
                             RunLog& runLog, const Identity& identity, const Clock& clock)
    : settings_(settings),
      lists_(lists),
      managedGroups_(managedGroups),
      runLog_(runLog),
      identity_(identity),
      clock_(clock) {}

std::string SettingsStore::path(const std::string& name) const {
  return JoinPath(identity_.dataDirectory(), name);
}

namespace {
std::string FallbackFile(const Identity& identity) {
  const std::string dir = identity.runDirectory() + "/data";
  if (!EnsureDirectory(dir)) LogWarning("settings: cannot create " + dir);
  return JoinPath(dir, "setsoft.ini");
}
}  // namespace

ProfileEntries SettingsStore::controlEntries(ControlKind kind) const {
  ProfileEntries entries;
  for (const ControlSpec& c : Settings::Controls()) {
    if (c.kind != kind || !c.saved) continue;
    if (kind == ControlKind::kEdit) {
      entries.emplace_back(c.name, EncodeEditText(settings_.text(c.name)));
    } else {
      entries.emplace_back(c.name, settings_.checked(c.name) ? "真" : "假");
    }
  }
  return entries;
}

void SettingsStore::SaveControls(ControlKind kind, const std::string& file) {
  const char* section = SectionOf(kind);
  if (section == nullptr) return;
  const std::string target = file.empty() ? FallbackFile(identity_) : file;
  const ProfileEntries entries = controlEntries(kind);
  std::lock_guard lock(mu_);
  WriteProfileStrings(target, section, entries, clock_);  // failures are logged there
}

void SettingsStore::RestoreControls(ControlKind kind, const std::string& file) {
  const char* section = SectionOf(kind);
  if (section == nullptr) return;
  const std::string source = file.empty() ? FallbackFile(identity_) : file;
  const ProfileSection stored = ReadProfileSection(source, section);
  Settings::RestoreScope restoring(settings_);
  for (const ControlSpec& c : Settings::Controls()) {
    if (c.kind != kind || !c.saved) continue;
    const std::string value = stored.value(c.name);
    if (value.empty()) continue;  // keeps the window default
    if (kind == ControlKind::kEdit) {
      settings_.setText(c.name, ReplaceAll(value, kEditBreak, "\r\n"));
    } else if (kind == ControlKind::kCheck) {
      settings_.setChecked(c.name, value != "假");
    } else if (value != "假") {
      // A radio box is only ever selected: selecting clears the rest of its
      // group, and a group stored all "假" keeps its default.
      settings_.setChecked(c.name, true);
    }
  }
}

void SettingsStore::SaveAllSettings() {
  // The three sections of setsoft.ini go in one write: a save that changed an
  // edit box and a check box together must never be half on disk.
  std::vector<ProfileSectionEntries> sections;
  for (ControlKind kind : {ControlKind::kEdit, ControlKind::kCheck, ControlKind::kRadio})
    sections.push_back({SectionOf(kind), controlEntries(kind)});
  std::lock_guard lock(mu_);
  WriteProfileSections(path("setsoft.ini"), sections, clock_);  // failures are logged there
  SaveListFile(lists_.groups, 4, path("群列表.txt"), clock_);
  SaveListFile(lists_.tasks, 4, path("任务列表.txt"), clock_);
  SaveListFile(lists_.keywords, 6, path("回复关键词.txt"), clock_);
}

void SettingsStore::LoadGroupList() { LoadListFile(lists_.groups, path("群列表.txt")); }
void SettingsStore::LoadTaskList() { LoadListFile(lists_.tasks, path("任务列表.txt")); }
void SettingsStore::LoadKeywordList() { LoadListFile(lists_.keywords, path("回复关键词.txt")); }

std::string SettingsStore::welcomeText(const std::string& group) const {
  // The group number names a file here: a hand-edited list entry must not
  // point anywhere else.
  if (!IsAccountNumber(group)) return {};
  const std::string file = path(group);
  if (!FileExists(file)) return {};
  std::string bytes;
  Status st = ReadFileBytes(file, bytes);
  if (!st.ok()) {
    LogWarning("welcome text: " + st.message());
    return {};
  }
  return DecodeExternalText(bytes);
}

void SettingsStore::RebuildGroupDerivedLists() {
  std::function<void()> hook;
  {
    std::lock_guard lock(mu_);
    const ProfileSection storedLimits = ReadProfileSection(path("人数限制.ini"), "人数");
    // Which groups have a welcome file: one listing of the directory, not a
    // look-up per group (read afresh each time, so a file the owner added by
    // hand still counts).
    std::unordered_set<std::string> present;
    const std::string directory = identity_.dataDirectory();
    for (std::string& name : NamesIn(directory.empty() ? "." : directory)) {
      if (IsAccountNumber(name)) present.insert(std::move(name));
    }
    // Only what the lists below need, not whole rows: the group list may be long.
    struct Group {
      std::string number, name;
      bool checked;
    };
    std::vector<Group> groups;
    lists_.groups.read([&groups](const std::vector<ListRow>& rows) {
      groups.reserve(rows.size());
      for (const ListRow& row : rows) {
        groups.push_back(
            {row.cells.size() > groupcol::kGroup ? row.cells[groupcol::kGroup] : std::string(),
             row.cells.size() > groupcol::kName ? row.cells[groupcol::kName] : std::string(),
             row.checked});
      }
    });
    std::vector<int64_t> managed;
    std::vector<ListRow> welcome, limits;
    ProfileEntries switches;
    switches.reserve(groups.size());
    for (size_t i = 0; i < groups.size(); ++i) {
      const std::string& group = groups[i].number;
      const std::string& name = groups[i].name;
      if (!IsAccountNumber(group)) {
        // The row stays in the list (and its file); it just manages nothing.
        LogWarning("群列表.txt line " + std::to_string(i + 1) + ": group cell \"" + group +
                   "\" is not a group number; row skipped");
        continue;
      }
      switches.emplace_back(group, groups[i].checked ? "1" : "0");
      if (!groups[i].checked) continue;
      managed.push_back(TextToInt(group));
      ListRow w;
      w.cells.resize(4);
      w.cells[welcomecol::kNumber] = std::to_string(welcome.size() + 1);
      w.cells[welcomecol::kGroup] = group;
      w.cells[welcomecol::kName] = name;
      if (present.count(group) != 0) w.cells[welcomecol::kText] = welcomeText(group);
      welcome.push_back(std::move(w));
      ListRow l;
      l.cells.resize(6);
      l.cells[limitcol::kNumber] = std::to_string(limits.size() + 1);
      l.cells[limitcol::kGroup] = group;
      l.cells[limitcol::kName] = name;
      l.cells[limitcol::kLimit] = storedLimits.value(group);
      limits.push_back(std::move(l));
    }
    managedGroups_.replace(std::move(managed));
    lists_.welcome.replaceAll(std::move(welcome));
    lists_.limits.replaceAll(std::move(limits));
    if (!switches.empty()) WriteProfileStrings(path("群设置.ini"), "开关", switches, clock_);
    SaveListFile(lists_.groups, 4, path("群列表.txt"), clock_);
    hook = afterRebuild_;
  }
  if (hook) hook();
}

void SettingsStore::SetWelcomeForCheckedGroups() {
  const std::string text = settings_.text(opt::kWelcomeText);
  {
    std::lock_guard lock(mu_);
    const auto rows = lists_.welcome.rows();
    for (size_t i = 0; i < rows.size(); ++i) {
      if (!rows[i].checked) continue;
      const std::string group = lists_.welcome.cell(i, welcomecol::kGroup);
      if (!IsAccountNumber(group)) {
        LogWarning("welcome text: not a group number: " + group);
        continue;
      }
      lists_.welcome.setCell(i, welcomecol::kText, text);
      Status st = WriteFileAtomic(path(group), EncodeForFile(text));
      if (!st.ok()) LogWarning("welcome text: " + st.message());
    }
  }
  runLog_.WriteRunLog("操作", "设置群欢迎语");
}

bool SettingsStore::LimitNeedsConfirmation(const Settings& settings) {
  return settings.number(opt::kMemberLimit) < 500;
}

void SettingsStore::SetLimitForCheckedGroups(bool confirmed) {
  if (LimitNeedsConfirmation(settings_) && !confirmed) return;
  const std::string limit = settings_.text(opt::kMemberLimit);
  std::lock_guard lock(mu_);
  ProfileEntries entries;
  const auto rows = lists_.limits.rows();
  for (size_t i = 0; i < rows.size(); ++i) {
    if (!rows[i].checked) continue;
    const std::string group = lists_.limits.cell(i, limitcol::kGroup);
    if (group.empty()) continue;
    lists_.limits.setCell(i, limitcol::kLimit, limit);
    entries.emplace_back(group, limit);
  }
  if (!entries.empty()) WriteProfileStrings(path("人数限制.ini"), "人数", entries, clock_);
}

namespace {
std::string ColourFile(const Identity& identity) {
  return identity.runDirectory() + "/data/brindle.ini";
}
}  // namespace

int64_t SettingsStore::windowColour() const {
  const std::string value = ReadProfileString(ColourFile(identity_), "颜色", "颜色");
  return value.empty() ? kDefaultColour : TextToInt(value);
}

void SettingsStore::setWindowColour(int64_t colour) {
  std::lock_guard lock(mu_);
  const std::string dir = identity_.runDirectory() + "/data";
  if (!EnsureDirectory(dir)) LogWarning("settings: cannot create " + dir);
  WriteProfileString(ColourFile(identity_), "颜色", "颜色", std::to_string(colour), clock_);
}

void SettingsStore::setAfterRebuild(std::function<void()> hook) {
  std::lock_guard lock(mu_);
  afterRebuild_ = std::move(hook);
}

}  // namespace bw
