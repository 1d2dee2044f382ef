#include "ui/panel_pages.h"

#include <regex>

#include "settings/option_names.h"
#include "util/charset.h"

namespace bw::ui {
namespace {

// Longest text an edit box keeps: the settings file's reader cuts longer values.
constexpr size_t kMaxTextBytes = 10239;

struct NumberRange {
  const char* name;
  int64_t min;
  int64_t max;
};

// Edit boxes that hold a number, with the values that make sense for them.
constexpr NumberRange kNumbers[] = {
    {opt::kMuteMinutes, 1, 43200},  // a mute lasts at most 30 days
    {opt::kImageMaxWidth, 1, 100000},  {opt::kImageMaxHeight, 1, 100000},
    {opt::kImageRunLength, 1, 1000},   {opt::kWarningsBeforePunish, 1, 1000},
    {opt::kJoinLevel, 0, 1000},        {opt::kCardLength, 0, 60},
    {opt::kJoinMuteMinutes, 1, 43200}, {opt::kMemberLimit, 1, 100000},
    {opt::kReplyCount, 0, 1000000000}, {opt::kTaskInterval, 1, 86400},
};

const NumberRange* NumberRule(const std::string& name) {
  for (const NumberRange& r : kNumbers)
    if (name == r.name) return &r;
  return nullptr;
}

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::kEdit:
      return "edit";
    case ControlKind::kCheck:
      return "check";
    case ControlKind::kRadio:
      return "radio";
    case ControlKind::kDate:
      return "date";
    case ControlKind::kCombo:
      return "combo";
  }
  return "edit";
}

// The accessible name of a control: its own label in the row, else the name
// the window's messages use for it (its boxes sit between the pieces of a
// caption, "禁言 [  ] 分钟", which name them to the eye only).
std::string Caption(const ControlSpec& spec, const std::string& label) {
  if (!label.empty()) return label;
  // The words' separator is said beside the box; a screen reader hears it too.
  if (spec.name == opt::kBannedWords) return spec.label + ", 用 + 分割";
  return spec.label;
}

Json Control(const Settings& settings, const char* name, const std::string& label = {}) {
  const ControlSpec* spec = Settings::Find(name);
  Json c = {{"name", name}, {"kind", KindName(spec->kind)}};
  c["label"] = label;
  c["caption"] = Caption(*spec, label);
  if (spec->kind == ControlKind::kCheck || spec->kind == ControlKind::kRadio) {
    c["value"] = settings.checked(name);
    // The page's radio boxes of one group must exclude each other there too.
    if (spec->kind == ControlKind::kRadio) c["group"] = spec->radioGroup;
  } else {
    c["value"] = settings.text(name);
  }
  if (const NumberRange* r = NumberRule(name)) {
    c["number"] = true;
    c["min"] = r->min;
    c["max"] = r->max;
  }
  return c;
}

// The window's captions leave blanks where its edit boxes sit ("禁言          分钟"):
// the pieces between the blanks become texts around the boxes.
std::vector<std::string> CaptionPieces(const std::string& caption) {
  static const std::regex kGap("\\s{2,}");
  std::vector<std::string> out;
  std::sregex_token_iterator it(caption.begin(), caption.end(), kGap, -1), end;
  for (; it != end; ++it) out.push_back(it->str());
  return out;
}

// A row: an optional check or radio box labelled with the caption's first
// piece, then each edit box followed by the next piece.
Json Row(const Settings& settings, const char* box, std::vector<const char*> edits,
         const std::string& caption) {
  const std::vector<std::string> pieces = CaptionPieces(caption);
  Json parts = Json::array();
  size_t next = 0;
  if (box) {
    parts.push_back(Control(settings, box, next < pieces.size() ? pieces[next] : ""));
    ++next;
  } else if (!pieces.empty()) {
    parts.push_back({{"text", pieces[next++]}});
  }
  for (const char* edit : edits) {
    parts.push_back(Control(settings, edit));
    if (next < pieces.size()) parts.push_back({{"text", pieces[next++]}});
  }
  // A caption may say more than its boxes take ("关键词踢人/禁言  用 + 分割").
  for (; next < pieces.size(); ++next) parts.push_back({{"text", pieces[next]}});
  return {{"parts", parts}};
}

Json CaptionRow(const Settings& settings, const char* box) {
  return Row(settings, box, {}, Settings::Find(box)->caption);
}

Json TextArea(const Settings& settings, const char* edit, std::vector<std::string> variables,
              bool more) {
  Json area = Control(settings, edit);
  area["kind"] = "area";
  Json row = {{"parts", Json::array({area})}};
  row["variables"] = variables;
  row["target"] = edit;
  row["more"] = more;
  return row;
}

Json Hint(const std::string& text) { return {{"hint", text}}; }  // a warning, in red
Json Note(const std::string& text) { return {{"note", text}}; }
Json Heading(const std::string& text) { return {{"heading", text}}; }

// Beside a box whose emptying brings its default back: the switch is the way
// to turn what it says off.
Json DefaultNote(const char* switchName) {
  return Note("清空后保存会恢复默认内容; 不想用它请取消勾选「" + Settings::Find(switchName)->label +
              "」");
}

Json Group(const std::string& title, std::vector<Json> rows) {
  return {{"title", title}, {"rows", rows}};
}

Json AdDetectionPage(const Settings& s) {
  Json groups = Json::array();
  groups.push_back(Group("", {CaptionRow(s, opt::kAdDetectionOn), CaptionRow(s, opt::kPenaltyKick),
                              Row(s, opt::kPenaltyMute, {opt::kMuteMinutes},
                                  Settings::Find(opt::kPenaltyMute)->caption)}));
  groups.push_back(
      Group("", {CaptionRow(s, opt::kPunishVoice), CaptionRow(s, opt::kPunishImageSize),
                 Row(s, nullptr, {opt::kImageMaxWidth, opt::kImageMaxHeight},
                     Settings::Find(opt::kImageMaxWidth)->caption)}));
  groups.push_back(
      Group("警告踢人/禁言", {Row(s, opt::kWarnBeforePunish, {opt::kWarningsBeforePunish},
                                  Settings::Find(opt::kWarnBeforePunish)->caption)}));
  Json words = Control(s, opt::kBannedWords);
  words["kind"] = "area";
  groups.push_back(Group("", {CaptionRow(s, opt::kBannedWordsOn),
                              {{"parts", Json::array({words})}},
                              DefaultNote(opt::kBannedWordsOn)}));
  groups.push_back(
      Group("连续发图踢人/禁言", {Row(s, opt::kPunishImageRun, {opt::kImageRunLength},
                                      Settings::Find(opt::kPunishImageRun)->caption)}));
  groups.push_back(
      Group("踢人专用",
            {CaptionRow(s, opt::kBlacklistOnKick), CaptionRow(s, opt::kBlacklistKickEverywhere),
             Row(s, opt::kAtKickOn, {opt::kAtKickCommand}, Settings::Find(opt::kAtKickOn)->caption),
             CaptionRow(s, opt::kKickInviter), Hint("*慎用 可能踢一大片")}));
  const std::vector<std::string> vars = {"[昵称]", "[时间]"};
  Json tabs = Json::array();
  tabs.push_back(Group("踢人/禁言 发言", {CaptionRow(s, opt::kPenaltyNoticeOn),
                                          TextArea(s, opt::kPenaltyNotice, vars, true),
                                          DefaultNote(opt::kPenaltyNoticeOn)}));
  tabs.push_back(Group(
      "警告", {TextArea(s, opt::kWarningText, vars, true), DefaultNote(opt::kWarnBeforePunish)}));
  return {{"page", "广告检测"}, {"groups", groups}, {"tabs", tabs}};
}

// The options of the welcome page (its list and its button come later).
Json WelcomePage(const Settings& s) {
  Json groups = Json::array();
  groups.push_back(
      Group("", {CaptionRow(s, opt::kWelcomeOn), CaptionRow(s, opt::kWelcomeGroupOnly),
                 CaptionRow(s, opt::kWelcomePrivateOnly), CaptionRow(s, opt::kWelcomeBoth)}));
  groups.push_back(
      Group("设置欢迎语", {TextArea(s, opt::kWelcomeText, {"[昵称]", "[时间]"}, false),
                           DefaultNote(opt::kWelcomeOn), Hint("欢迎语为空就是默认当前设置的欢迎语"),
                           Hint("欢迎语里的变量[昵称]就是@不设置就是不@")}));
  return {{"page", "进群欢迎"}, {"groups", groups}, {"tabs", Json::array()}};
}

// The right half of 邀请统计: the invite query's switch and reply.
Json InvitePage(const Settings& s) {
  Json groups = Json::array();
  groups.push_back(Group(
      "邀请设置",
      {CaptionRow(s, opt::kInviteQueryOn), Note("邀请查询的命令：邀请查询"),
       Note("清空统计命令：@某某 清空统计"), Note("查看别人：    @某某 邀请明细"),
       Note("清空统计命令和查看别人命令只有管理员有权限"),
       TextArea(s, opt::kInviteQueryReply,
                {"[昵称]", "[时间]", "[现存邀请人数]", "[总邀请人数]", "[退出邀请人数]"}, false),
       DefaultNote(opt::kInviteQueryOn)}));
  return {{"page", "邀请统计"}, {"groups", groups}, {"tabs", Json::array()}};
}

// The option of 名单设置's 黑名单 tab (its lists come with the page's own script):
// robots sharing one database may share one blacklist.
Json ListsPage(const Settings& s) {
  Json groups = Json::array();
  groups.push_back(Group("", {CaptionRow(s, opt::kSharedBlacklist),
                              Note("开启后, 同一数据库的所有机器人都拒绝和踢出黑名单里的QQ, "
                                   "从黑名单删除也对所有机器人生效")}));
  return {{"page", "名单设置"}, {"groups", groups}, {"tabs", Json::array()}};
}

// The options of the inner tabs of 更多功能; the launcher, the lists, the add
// boxes and the statistics come with the page's own script.
Json MorePage(const Settings& s) {
  auto row = [&](const char* box, const char* edit) {
    return Row(s, box, {edit}, Settings::Find(box)->caption);
  };
  Json tabs = Json::array();
  tabs.push_back(Group("更多功能", {}));
  tabs.push_back(Group("定时功能", {CaptionRow(s, opt::kTasksOn),
                                    Row(s, nullptr, {opt::kTaskInterval},
                                        Settings::Find(opt::kTaskInterval)->caption)}));
  tabs.push_back(Group("进群统计", {}));
  tabs.push_back(Group(
      "进群审核",
      {CaptionRow(s, opt::kJoinReviewOn), CaptionRow(s, opt::kOneGroupPerAccount),
       row(opt::kLevelCheck, opt::kJoinLevel), CaptionRow(s, opt::kRenameOnJoin),
       row(opt::kCardPrefixOn, opt::kCardPrefix), row(opt::kCardSuffixOn, opt::kCardSuffix),
       row(opt::kCardLengthOn, opt::kCardLength), row(opt::kMuteOnJoin, opt::kJoinMuteMinutes)}));
  Json notice = TextArea(s, opt::kLimitKickNotice, {"[昵称]", "[时间]"}, true);
  tabs.push_back(Group(
      "人数控制",
      {CaptionRow(s, opt::kMemberLimitOn), Heading("踢出条件"),
       CaptionRow(s, opt::kLimitKickEarliestJoined), CaptionRow(s, opt::kLimitKickLatestJoined),
       CaptionRow(s, opt::kLimitKickLongestSilent), CaptionRow(s, opt::kLimitPreferNeverSpoke),
       Heading("限制人数设置"),
       Row(s, nullptr, {opt::kMemberLimit}, Settings::Find(opt::kMemberLimit)->caption),
       CaptionRow(s, opt::kLimitKickNoticeOn), notice, DefaultNote(opt::kLimitKickNoticeOn)}));
  tabs.push_back(
      Group("关键词回复", {CaptionRow(s, opt::kKeywordReplyOn), CaptionRow(s, opt::kReplyInGroups),
                           CaptionRow(s, opt::kReplyInPrivate)}));
  return {{"page", "更多功能"}, {"groups", Json::array()}, {"tabs", tabs}};
}

}  // namespace

const std::vector<std::string>& PageNames() {
  static const std::vector<std::string> names = {"功能状态", "群设置",   "名单设置", "邀请统计",
                                                 "进群欢迎", "广告检测", "自动管理", "运行日志",
                                                 "更多功能", "试一试"};
  return names;
}

std::optional<Json> OptionPage(const std::string& page, const Settings& settings) {
  if (page == "广告检测") return AdDetectionPage(settings);
  if (page == "进群欢迎") return WelcomePage(settings);
  if (page == "邀请统计") return InvitePage(settings);
  if (page == "更多功能") return MorePage(settings);
  if (page == "名单设置") return ListsPage(settings);
  return std::nullopt;
}

Json FeatureStatusPage(const std::vector<FeatureState>& features, size_t listedGroups,
                       size_t managedGroups) {
  auto feature = [&](const std::string& label) {
    bool on = false;
    for (const FeatureState& f : features)
      if (f.label == label) on = f.on;
    return Json{{"label", label + ":"}, {"text", on ? "已开启" : "已关闭"}, {"on", on}};
  };
  auto fixed = [](const std::string& label) {
    return Json{{"label", label}, {"text", "永久开启"}, {"fixed", true}};
  };
  Json boxes = Json::array();
  boxes.push_back(
      {{"title", "监控数据"},
       {"items",
        Json::array({{{"label", "总群数:"}, {"text", std::to_string(listedGroups)}},
                     {{"label", "监控群数:"}, {"text", std::to_string(managedGroups)}}})}});
  boxes.push_back({{"title", "基础功能"},
                   {"items", Json::array({feature("邀请查询"), feature("进群欢迎"),
                                          feature("广告检测"), fixed("黑白名单:")})}});
  boxes.push_back(
      {{"title", "更多功能"},
       {"items", Json::array({feature("定时任务"), feature("审核进群"), feature("人数控制"),
                              feature("关键词回复"), fixed("进群统计:")})}});
  return {{"page", "功能状态"}, {"boxes", boxes}};
}

std::string CheckChange(const std::string& name, const Json& value, std::string* text,
                        bool* checked) {
  const ControlSpec* spec = Settings::Find(name);
  if (!spec) return "没有名为 " + name + " 的选项";
  // Refusals name the control as the window labels it.
  const std::string& label = spec->label;
  switch (spec->kind) {
    case ControlKind::kCheck:
      if (!value.is_boolean()) return label + "只能是开或关";
      *checked = value.get<bool>();
      return "";
    case ControlKind::kRadio:
      // A radio box is cleared by selecting another one of its group.
      if (!value.is_boolean() || !value.get<bool>()) return label + "只能被选中";
      *checked = true;
      return "";
    default:
      break;
  }
  if (!value.is_string()) return label + "需要文字";
  std::string s = value.get<std::string>();
  if (!IsValidUtf8(s)) return label + "的文字不是有效的 UTF-8";
  if (s.find('\0') != std::string::npos) return label + "的文字含有 NUL 字符";
  // A browser's text box ends lines with LF alone; the window's edit boxes (and
  // setsoft.ini's line marker) use CR LF.
  std::string lines;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n') continue;
    if (s[i] == '\n' || s[i] == '\r') {
      lines += "\r\n";
    } else {
      lines += s[i];
    }
  }
  s = std::move(lines);
  if (s.size() > kMaxTextBytes)
    return label + "的文字太长 (最多 " + std::to_string(kMaxTextBytes) + " 字节)";
  if (const NumberRange* r = NumberRule(name)) {
    static const std::regex kDigits("[0-9]{1,12}");
    if (!std::regex_match(s, kDigits) || std::stoll(s) < r->min || std::stoll(s) > r->max)
      return label + "必须是 " + std::to_string(r->min) + " 到 " + std::to_string(r->max) +
             " 之间的整数";
    s = std::to_string(std::stoll(s));
  }
  *text = std::move(s);
  return "";
}

std::string ApplyChanges(Settings& settings, const Json& changes,
                         std::vector<std::string>* restored) {
  if (!changes.is_object() || changes.empty()) return "没有要修改的选项";
  struct Change {
    std::string name;
    bool isText;
    std::string text;
    bool checked;
  };
  std::vector<Change> checkedChanges;
  for (auto it = changes.begin(); it != changes.end(); ++it) {
    Change c{it.key(), false, "", false};
    if (std::string error = CheckChange(c.name, *it, &c.text, &c.checked); !error.empty())
      return error;
    const ControlSpec* spec = Settings::Find(c.name);
    c.isText = spec->kind != ControlKind::kCheck && spec->kind != ControlKind::kRadio;
    // The next start would give an emptied box its default: it takes it now,
    // so that the robot does not run a day without what comes back then.
    if (c.isText && c.text.empty() && spec->emptyMeansDefault()) {
      c.text = spec->defaultText;
      if (restored) restored->push_back(c.name);
    }
    checkedChanges.push_back(std::move(c));
  }
  for (const Change& c : checkedChanges) {
    if (c.isText) {
      settings.setText(c.name, c.text);
    } else {
      settings.setChecked(c.name, c.checked);
    }
  }
  return "";
}

}  // namespace bw::ui
