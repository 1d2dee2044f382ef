#include "settings/settings_model.h"

#include <utility>

#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// The window's shipped banned-word list, "+"-separated ("联系" appears twice in
// the shipped text; kept so that stored files round-trip unchanged).
constexpr const char* kBannedWords =
    "微信+v信+QQ+联系+电话+号码+小姐+色群+加群+牛股+股票+涨停+联系+扣扣+答案+缺钱+急用钱+公司+"
    "监管+解套+密码+进群+炒股+福利+直播+点击+咨询+帅哥+美女+啪啪+免费+贷款+抢购+临时工+刷单+刷@单+"
    "Q号+日结+投资+优惠+下单+威信+免费注册+返利+铯群";

constexpr const char* kInviteReply =
    "[昵称]\r\n您现存邀请人数为：[现存邀请人数]\r\n总邀请人数：[总邀请人数]\r\n已退出：["
    "退出邀请人数]";

bool IsTextKind(ControlKind kind) {
  return kind == ControlKind::kEdit || kind == ControlKind::kDate || kind == ControlKind::kCombo;
}

bool IsCheckKind(ControlKind kind) {
  return kind == ControlKind::kCheck || kind == ControlKind::kRadio;
}

// Labels where the caption does not name the control by itself: edit boxes
// that sit inside a caption ("禁言          分钟") or beside a check box, and
// captions that are only part of a sentence ("开启").
constexpr std::pair<const char*, const char*> kLabels[] = {
    {"编辑框_回复关键词", "关键词"},
    {"编辑框_回复语", "回复内容"},
    {"编辑框_回复次数", "回复次数"},
    {"编辑框_欢迎语", "欢迎语"},
    {"选择框_等级检测", "等级检测"},
    {"编辑框_进群等级", "进群等级"},
    {"选择框_名片前缀", "名片加前缀"},
    {"编辑框_进群名片前缀", "名片前缀"},
    {"选择框_名片后缀", "名片加后缀"},
    {"编辑框_进群名片后缀", "名片后缀"},
    {"选择框_名片字数", "名片字数"},
    {"编辑框_名片字数", "名片字数"},
    {"编辑框_进群禁言时间", "进群禁言时间"},
    {"编辑框_限制人数", "限制人数"},
    {"编辑框_人数控制_踢人发言", "踢出发言"},
    {"编辑框_禁言时间", "禁言时间"},
    {"编辑框_图片宽", "图片宽度"},
    {"编辑框_图片高", "图片高度"},
    {"选择框_踢连续发图", "连续发图踢人/禁言"},
    {"编辑框_图片张数", "连续发图张数"},
    {"选择框_警告次数踢", "警告踢人/禁言"},
    {"编辑框_踢人警告次数", "警告次数"},
    {"编辑框_警告语", "警告语"},
    {"选择框_踢人发言", "踢人/禁言 发言"},
    {"编辑框_踢人发言", "踢人/禁言 发言"},
    {"选择框_踢关键词", "关键词踢人/禁言"},
    {"编辑框_踢人关键词", "踢人关键词"},
    {"选择框_艾特踢人", "@踢人"},
    {"编辑框_踢人命令", "@踢人命令"},
    {"选择框_加黑全踢", "加黑后全局踢"},
    {"选择框_株连九族", "株连九族"},
    {"编辑框_邀请查询回复", "邀请查询回复"},
    {"编辑框_执行间隔时间", "执行间隔"},
    {"编辑框_定时发送内容", "内容"},
    {"选择框_入群验证自定义问题", "使用自定义问题"},
};

// The caption's first piece (up to a gap left for an edit box), without a
// trailing colon; the name without its kind when the caption is empty.
std::string LabelOf(std::string_view name, std::string_view caption) {
  for (const auto& [n, label] : kLabels)
    if (name == n) return label;
  std::string label(caption.substr(0, caption.find("  ")));
  while (!label.empty() && (label.back() == ' ' || label.back() == ':')) label.pop_back();
  if (label.ends_with("：")) label.resize(label.size() - std::string_view("：").size());
  if (label.empty()) label = std::string(name.substr(name.find('_') + 1));
  return label;
}

std::vector<ControlSpec> BuildControls() {
  struct Row {
    const char* name;
    ControlKind kind;
    const char* caption;
    const char* defaultText;
    bool defaultChecked;
    const char* radioGroup;
    bool saved;
  };
  // Window order: the order setsoft.ini sections are written in.
  static const Row kRows[] = {
      {"选择框_开启关键词回复", ControlKind::kCheck, "开启关键词回复", "", false, "", true},
      {"选择框_回复群消息", ControlKind::kCheck, "回复群消息", "", true, "", true},
      {"选择框_回复私聊消息", ControlKind::kCheck, "回复私聊消息", "", true, "", true},
      {"编辑框_回复关键词", ControlKind::kEdit, "关键词:", "", false, "", true},
      {"编辑框_回复语", ControlKind::kEdit, "回复内容:", "", false, "", true},
      {"编辑框_回复次数", ControlKind::kEdit, "回复次数:", "0", false, "", true},
      {"单选框_精准匹配", ControlKind::kRadio, "精准匹配", "", false, "匹配模式", true},
      {"单选框_模糊匹配", ControlKind::kRadio, "模糊匹配", "", true, "匹配模式", true},
      {"选择框_开启进群欢迎", ControlKind::kCheck, "开启进群欢迎", "", false, "", true},
      {"编辑框_欢迎语", ControlKind::kEdit, "设置欢迎语", "[昵称]：欢迎进群,请不要发广告哦!", false,
       "", true},
      {"单选框_只发群", ControlKind::kRadio, "只发群", "", true, "欢迎方式", true},
      {"单选框_只发私聊", ControlKind::kRadio, "只发私聊", "", false, "欢迎方式", true},
      {"单选框_两者都发", ControlKind::kRadio, "两者都发", "", false, "欢迎方式", true},
      {"选择框_开启自动审核进群", ControlKind::kCheck, "开启自动审核进群", "", false, "", true},
      {"选择框_禁止一号多群", ControlKind::kCheck, "禁止一号多群", "", false, "", true},
      {"选择框_等级检测", ControlKind::kCheck, "等级必须≥ ", "", false, "", true},
      {"编辑框_进群等级", ControlKind::kEdit, "等级必须≥ ", "10", false, "", true},
      {"选择框_进群改名片", ControlKind::kCheck, "进群改名片", "", false, "", true},
      {"选择框_名片前缀", ControlKind::kCheck, "加前缀", "", false, "", true},
      {"编辑框_进群名片前缀", ControlKind::kEdit, "", "brindle_", false, "", true},
      {"选择框_名片后缀", ControlKind::kCheck, "加后缀", "", false, "", true},
      {"编辑框_进群名片后缀", ControlKind::kEdit, "", "", false, "", true},
      {"选择框_名片字数", ControlKind::kCheck, "除前后缀外名片字数", "", false, "", true},
      {"编辑框_名片字数", ControlKind::kEdit, "", "2", false, "", true},
      {"选择框_进群禁言", ControlKind::kCheck, "进群禁言        分", "", false, "", true},
      {"编辑框_进群禁言时间", ControlKind::kEdit, "进群禁言        分", "1", false, "", true},
      {"选择框_开启群人数控制", ControlKind::kCheck, "开启群人数控制", "", false, "", true},
      {"编辑框_限制人数", ControlKind::kEdit, "限制人数:", "950", false, "", true},
      {"单选框_人数控制_踢最早进群", ControlKind::kRadio, "踢最早加群", "", true, "踢出条件", true},
      {"单选框_人数控制_踢最晚加群", ControlKind::kRadio, "踢最晚加群", "", false, "踢出条件",
       true},
      {"单选框_人数控制_踢最后发言最早", ControlKind::kRadio, "踢最后发言最早的", "", false,
       "踢出条件", true},
      {"选择框_人数控制_优先踢未发言", ControlKind::kCheck, "优先踢未发言的", "", true, "", true},
      {"选择框_人数控制_踢出发言", ControlKind::kCheck, "踢出发言", "", false, "", true},
      {"编辑框_人数控制_踢人发言", ControlKind::kEdit, "",
       "【[昵称]】已完成转发任务,截图通过审核,被邀请进VIP群,从本群移除!", false, "", true},
      {"选择框_开启广告检测", ControlKind::kCheck, "开启广告检测", "", false, "", true},
      {"单选框_踢人", ControlKind::kRadio, "踢人", "", true, "处罚方式", true},
      {"单选框_禁言", ControlKind::kRadio, "禁言          分钟", "", false, "处罚方式", true},
      {"编辑框_禁言时间", ControlKind::kEdit, "禁言          分钟", "43200", false, "", true},
      {"选择框_踢语音", ControlKind::kCheck, "踢/禁 语音", "", false, "", true},
      {"选择框_踢图片大小", ControlKind::kCheck, "踢/禁 图片", "", false, "", true},
      {"编辑框_图片宽", ControlKind::kEdit, "宽大于        像素或高大于         像素", "500", false,
       "", true},
      {"编辑框_图片高", ControlKind::kEdit, "宽大于        像素或高大于         像素", "500", false,
       "", true},
      {"选择框_踢连续发图", ControlKind::kCheck, "启动,连续发             张图后踢出/禁言", "",
       false, "", true},
      {"编辑框_图片张数", ControlKind::kEdit, "", "4", false, "", true},
      {"选择框_警告次数踢", ControlKind::kCheck, "启动,警告              次后再踢出/禁言", "",
       false, "", true},
      {"编辑框_踢人警告次数", ControlKind::kEdit, "", "2", false, "", true},
      {"编辑框_警告语", ControlKind::kEdit, "警告",
       "【[昵称]】本群禁止发广告，警告一次，下次再发踢", false, "", true},
      {"选择框_踢人发言", ControlKind::kCheck, "开启", "", false, "", true},
      {"编辑框_踢人发言", ControlKind::kEdit, "踢人/禁言 发言",
       "【[昵称]】由于严重违规,机器人自动处理,如果操作失误,请联系管理员核查!", false, "", true},
      {"选择框_踢关键词", ControlKind::kCheck, "关键词踢人/禁言  用 + 分割", "", false, "", true},
      {"编辑框_踢人关键词", ControlKind::kEdit, "", kBannedWords, false, "", true},
      {"选择框_踢出加黑", ControlKind::kCheck, "踢出加黑", "", false, "", true},
      {"选择框_加黑全踢", ControlKind::kCheck, "加黑后全局踢(就是所有群都踢)", "", false, "", true},
      {"选择框_株连九族", ControlKind::kCheck, "株连九族(加黑后踢邀请人)", "", false, "", true},
      {"选择框_艾特踢人", ControlKind::kCheck, "@踢人,@昵称+", "", false, "", true},
      {"编辑框_踢人命令", ControlKind::kEdit, "", "走你", false, "", true},
      {"选择框_开启邀请查询", ControlKind::kCheck, "开启邀请查询", "", false, "", true},
      {"编辑框_邀请查询回复", ControlKind::kEdit, "", kInviteReply, false, "", true},
      {"编辑框_邀请查询QQ", ControlKind::kEdit, "QQ号:", "", false, "", true},
      {"选择框_开启定时任务", ControlKind::kCheck, "开启定时任务", "", false, "", true},
      {"编辑框_执行间隔时间", ControlKind::kEdit, "执行间隔          秒", "2", false, "", true},
      {"编辑框_定时发送内容", ControlKind::kEdit, "内容----发送信息和发送公告专用", "", false, "",
       true},
      {"单选框_发送信息", ControlKind::kRadio, "发送信息", "", true, "执行操作", true},
      {"单选框_发布公告", ControlKind::kRadio, "发布公告", "", false, "执行操作", true},
      {"单选框_全体禁言", ControlKind::kRadio, "全体禁言", "", false, "执行操作", true},
      {"单选框_解除禁言", ControlKind::kRadio, "解除禁言", "", false, "执行操作", true},
      {"单选框_发布作业", ControlKind::kRadio, "发布作业", "", false, "执行操作", true},
      {"日期框_执行时间", ControlKind::kDate, "执行时间:", "", false, "", false},
      {"编辑框_欲加入管理员", ControlKind::kEdit, "QQ号:", "", false, "", true},
      {"编辑框_欲加入白名单", ControlKind::kEdit, "QQ号:", "", false, "", true},
      {"编辑框_欲加入黑名单", ControlKind::kEdit, "QQ号:", "", false, "", true},
      {"组合框1", ControlKind::kCombo, "数据的日期:", "今天", false, "", false},
      {"选择框_共享黑名单", ControlKind::kCheck, "共享黑名单(同一数据库的所有机器人共用)", "",
       false, "", true},
      {"选择框_开启入群验证", ControlKind::kCheck, "开启入群验证", "", false, "", true},
      {"编辑框_入群验证群", ControlKind::kEdit, "验证的群:", "", false, "", true},
      {"选择框_入群验证自定义问题", ControlKind::kCheck, "使用自定义问题 (否则出算术题)", "", false,
       "", true},
      {"编辑框_入群验证问题", ControlKind::kEdit, "自定义问题:", "", false, "", true},
      {"编辑框_入群验证时限", ControlKind::kEdit, "回答时限:", "5", false, "", true},
      {"编辑框_入群验证答错次数", ControlKind::kEdit, "答错几次踢出:", "3", false, "", true},
      {"选择框_入群验证拒绝再加群", ControlKind::kCheck, "踢出后拒绝再次加群", "", false, "", true},
      {"编辑框_入群验证放行命令", ControlKind::kEdit, "放行命令:", "通过验证", false, "", true},
      {"编辑框_消息记录", ControlKind::kEdit, "消息记录", "", false, "", true},
  };
  std::vector<ControlSpec> controls;
  controls.reserve(std::size(kRows));
  for (const Row& r : kRows) {
    controls.push_back(ControlSpec{r.name, r.kind, r.caption, r.defaultText, r.defaultChecked,
                                   r.radioGroup, r.saved, LabelOf(r.name, r.caption)});
  }
  return controls;
}

// Name → position in Controls(), for Find().
const std::map<std::string, size_t, std::less<>>& Index() {
  static const std::map<std::string, size_t, std::less<>> index = [] {
    std::map<std::string, size_t, std::less<>> m;
    const auto& controls = Settings::Controls();
    for (size_t i = 0; i < controls.size(); ++i) m.emplace(controls[i].name, i);
    return m;
  }();
  return index;
}

}  // namespace

const std::vector<ControlSpec>& Settings::Controls() {
  static const std::vector<ControlSpec> controls = BuildControls();
  return controls;
}

const ControlSpec* Settings::Find(std::string_view name) {
  const auto& index = Index();
  auto it = index.find(name);
  return it == index.end() ? nullptr : &Controls()[it->second];
}

Settings::Settings() { resetToDefaults(); }

std::string Settings::text(std::string_view name) const {
  {
    std::lock_guard lock(mu_);
    auto it = texts_.find(name);
    if (it != texts_.end()) return it->second;
  }
  const ControlSpec* spec = Find(name);
  LogError(spec ? "settings: \"" + std::string(name) +
                      "\" has no text (not an edit, date or combo box)"
                : "settings: unknown control \"" + std::string(name) + "\"");
  return {};
}

int64_t Settings::number(std::string_view name) const { return TextToInt(text(name)); }

bool Settings::checked(std::string_view name) const {
  {
    std::lock_guard lock(mu_);
    auto it = checks_.find(name);
    if (it != checks_.end()) return it->second;
  }
  const ControlSpec* spec = Find(name);
  LogError(spec ? "settings: \"" + std::string(name) + "\" is not a check or radio box"
                : "settings: unknown control \"" + std::string(name) + "\"");
  return false;
}

bool Settings::setText(std::string_view name, std::string value) {
  const ControlSpec* spec = Find(name);
  if (spec == nullptr || !IsTextKind(spec->kind)) {
    LogWarning("settings: cannot set text of \"" + std::string(name) + "\"");
    return false;
  }
  {
    std::lock_guard lock(mu_);
    std::string& current = texts_[spec->name];
    if (current == value) return true;
    current = std::move(value);
  }
  notify({spec->name});
  return true;
}

bool Settings::setChecked(std::string_view name, bool checked) {
  const ControlSpec* spec = Find(name);
  if (spec == nullptr || !IsCheckKind(spec->kind)) {
    LogWarning("settings: cannot set check state of \"" + std::string(name) + "\"");
    return false;
  }
  std::vector<std::string> changed;
  {
    std::lock_guard lock(mu_);
    bool& current = checks_[spec->name];
    if (current != checked) {
      current = checked;
      changed.push_back(spec->name);
    }
    if (spec->kind == ControlKind::kRadio) {
      if (checked) {
        // Selecting a radio box deselects the rest of its group, whether or
        // not it was already selected (the group may have been left odd).
        for (const ControlSpec& other : Controls()) {
          if (other.kind != ControlKind::kRadio || other.radioGroup != spec->radioGroup ||
              other.name == spec->name) {
            continue;
          }
          bool& state = checks_[other.name];
          if (state) {
            state = false;
            changed.push_back(other.name);
          }
        }
      } else if (!changed.empty()) {
        // The selected box was cleared: a group without a selection would
        // leave the rules guessing, so the default (or the next box) takes it.
        std::vector<const ControlSpec*> group;
        size_t cleared = 0;
        const ControlSpec* fallback = nullptr;
        for (const ControlSpec& other : Controls()) {
          if (other.kind != ControlKind::kRadio || other.radioGroup != spec->radioGroup) continue;
          if (other.name == spec->name) cleared = group.size();
          if (other.defaultChecked && other.name != spec->name) fallback = &other;
          group.push_back(&other);
        }
        if (fallback == nullptr && group.size() > 1) fallback = group[(cleared + 1) % group.size()];
        if (fallback != nullptr) {
          checks_[fallback->name] = true;
          changed.push_back(fallback->name);
        }
      }
    }
  }
  if (!changed.empty()) notify(changed);
  return true;
}

void Settings::resetToDefaults() {
  std::vector<std::string> changed;
  {
    std::lock_guard lock(mu_);
    for (const ControlSpec& spec : Controls()) {
      if (IsTextKind(spec.kind)) {
        auto [it, inserted] = texts_.try_emplace(spec.name, spec.defaultText);
        if (!inserted && it->second != spec.defaultText) {
          it->second = spec.defaultText;
          changed.push_back(spec.name);
        }
      } else {
        auto [it, inserted] = checks_.try_emplace(spec.name, spec.defaultChecked);
        if (!inserted && it->second != spec.defaultChecked) {
          it->second = spec.defaultChecked;
          changed.push_back(spec.name);
        }
      }
    }
  }
  if (!changed.empty()) notify(changed);
}

int Settings::subscribe(Listener listener) {
  std::lock_guard lock(listenersMu_);
  int id = nextListener_++;
  listeners_.emplace(id, std::move(listener));
  return id;
}

void Settings::unsubscribe(int id) {
  std::lock_guard lock(listenersMu_);
  listeners_.erase(id);
}

void Settings::notify(const std::vector<std::string>& changed) {
  // Listeners run without any lock held so that they may read or change
  // settings and (un)subscribe themselves.
  std::vector<Listener> listeners;
  {
    std::lock_guard lock(listenersMu_);
    listeners.reserve(listeners_.size());
    for (const auto& [id, listener] : listeners_) listeners.push_back(listener);
  }
  for (const std::string& name : changed) {
    for (const Listener& listener : listeners) listener(name);
  }
}

}  // namespace bw
