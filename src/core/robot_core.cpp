#include "core/robot_core.h"

#include "settings/list_model.h"
#include "settings/option_names.h"
#include "storage/cqimg_file_info.h"
#include "storage/startup_load.h"
#include "util/log.h"

namespace bw {
namespace {

struct Switch {
  const char* control;
  const char* label;
};

// The feature-status page, in its order.
constexpr Switch kSwitches[] = {
    {opt::kInviteQueryOn, "邀请查询"},    {opt::kWelcomeOn, "进群欢迎"},
    {opt::kAdDetectionOn, "广告检测"},    {opt::kTasksOn, "定时任务"},
    {opt::kJoinReviewOn, "审核进群"},     {opt::kMemberLimitOn, "人数控制"},
    {opt::kKeywordReplyOn, "关键词回复"},
};

}  // namespace

namespace {

Services ServicesOf(Lifecycle& l, ImageInfo& images) {
  return Services{l.clock(),         l.host(),     l.settings(), l.lists(),
                  l.runLog(),        l.groupLog(), l.database(), l.qq(),
                  l.managedGroups(), l.identity(), images,       l.stopToken()};
}

}  // namespace

RobotCore::RobotCore(Lifecycle& lifecycle, CoreOptions options)
    : ownImages_(options.images ? nullptr : std::make_unique<CqImgFileInfo>(lifecycle.identity())),
      modules(ServicesOf(lifecycle, options.images ? *options.images : *ownImages_)),
      lifecycle_(lifecycle),
      options_(std::move(options)) {}

RobotCore::~RobotCore() { shutdown(); }

LifecycleHooks RobotCore::hooks() {
  LifecycleHooks h;
  h.startup = [this](Lifecycle&) { runStartup(); };
  // The database is already closed by the plug-in's exit; what is left is the
  // background work the window's owner would have ended with the window.
  h.exit = [this](Lifecycle&) {
    modules.verification.stop();
    modules.history.stopRetention();
    modules.memberRefresh.stop();
    modules.scheduler.stopScheduler();
  };
  h.handlers.groupMessage = [this](const GroupMessageRecord& r) {
    if (modules.verification.screenMessage(r)) return;  // an unverified member's, or a pass
    modules.onGroupMessage(r);
  };
  h.handlers.privateMessage = [this](const PrivateMessageRecord& r) {
    modules.privateMessages.handle(r);
  };
  h.handlers.joinRequest = [this](const JoinRequestRecord& r) {
    modules.screening.screenJoinRequest(r);
  };
  h.handlers.memberIncrease = [this](const MemberChangeRecord& r) {
    modules.removal.rejoined(r.fromGroup, r.beingOperateQQ);
    modules.arrivals.onMemberJoined(r);
    modules.verification.onMemberJoined(r);
  };
  h.handlers.memberDecrease = [this](const MemberChangeRecord& r) {
    modules.departures.onMemberLeft(r);
    modules.verification.onMemberLeft(r);
  };
  return h;
}

void RobotCore::runStartup() {
  // The window's creation handler sets the running flag before the sequence
  // starts: events arriving meanwhile see the option defaults.
  lifecycle_.setRunning();
  StartupSteps steps;
  steps.connectDatabase = options_.connectDatabase;
  steps.loadAdministrators = [this] { modules.accountLists.loadAdministrators(); };
  steps.loadWhitelist = [this] { modules.accountLists.loadWhitelist(); };
  steps.loadBlacklist = [this] { modules.accountLists.loadBlacklist(); };
  steps.rebuildKeywordReplies = [this] { modules.keywordReplies.RebuildKeywordReplies(); };
  steps.startScheduler = [this] { modules.scheduler.startScheduler(); };
  steps.refreshFeatureStatus = [this] { LogInfo("功能状态: " + featureStatusText()); };
  steps.startMemberRefresh = [this] {
    if (!options_.refreshMembersAtStartup) return;
    if (options_.refreshInsideStartup) {
      modules.memberRefresh.refreshTickedMembers(lifecycle_.stopToken());
    } else {
      modules.memberRefresh.startRefreshTickedMembers();
    }
  };
  Lifecycle& l = lifecycle_;
  StartupLoad(
      StartupContext{l.database(), l.runLog(), l.qq(), l.settings(), l.lists(), l.identity()},
      modules.store, steps);
  // Pending verifications come back with their deadlines once the database is there.
  modules.verification.start();
  // Only changes made from now on are the user's: the restore above must not
  // count as clicks on the switches.
  subscription_ =
      lifecycle_.settings().subscribe([this](const std::string& name) { onSettingChanged(name); });
  modules.history.prune();
  if (options_.historyTimer) modules.history.startRetention();
  {
    std::lock_guard lock(mu_);
    startedUp_ = true;
  }
  startedCv_.notify_all();
}

void RobotCore::onSettingChanged(const std::string& name) {
  bool isSwitch = false;
  for (const Switch& s : kSwitches) isSwitch = isSwitch || name == s.control;
  if (!isSwitch) return;
  if (name == opt::kTasksOn) modules.scheduler.toggleScheduler();
  Log(LogLevel::kDebug, "功能状态: " + featureStatusText());
}

bool RobotCore::waitStartedUp(std::stop_token stop) {
  std::unique_lock lock(mu_);
  return startedCv_.wait(lock, stop, [this] { return startedUp_; });
}

bool RobotCore::startedUp() const {
  std::lock_guard lock(mu_);
  return startedUp_;
}

void RobotCore::shutdown() {
  bool wasStarted = false;
  {
    std::lock_guard lock(mu_);
    if (shutDown_) return;
    shutDown_ = true;
    wasStarted = startedUp_;
  }
  lifecycle_.shutdown();
  if (subscription_) lifecycle_.settings().unsubscribe(subscription_);
  modules.verification.stop();
  modules.history.stopRetention();
  modules.memberRefresh.stop();
  modules.scheduler.stopScheduler();
  // Saving before the restore finished would overwrite the files with defaults.
  if (wasStarted) modules.store.SaveAllSettings();
  lifecycle_.database().Disconnect();
}

std::vector<FeatureState> RobotCore::featureStatus() const {
  std::vector<FeatureState> out;
  Settings& settings = lifecycle_.settings();
  for (const Switch& s : kSwitches) out.push_back({s.label, settings.checked(s.control)});
  return out;
}

std::string RobotCore::featureStatusText() const {
  std::string text;
  for (const FeatureState& f : featureStatus())
    text += f.label + ":" + (f.on ? "已开启" : "已关闭") + " ";
  text += "总群数:" + std::to_string(lifecycle_.lists().groups.rowCount()) +
          " 监控群数:" + std::to_string(lifecycle_.managedGroups().size());
  return text;
}

EventHandlers LifecycleEntryPoints(Lifecycle& lifecycle) {
  Lifecycle* p = &lifecycle;
  EventHandlers h;
  h.groupMessage = [p](const GroupMessageRecord& r) {
    p->_eventGroupMsg(1, r.msgId, r.fromGroup, r.fromQQ, "", r.msg.c_str(), r.font);
  };
  h.privateMessage = [p](const PrivateMessageRecord& r) {
    p->_eventPrivateMsg(11, static_cast<int32_t>(r.msgId), r.fromQQ, r.msg.c_str(), r.font);
  };
  // Built records keep their inviter; only the legacy entry parses text.
  h.joinRequest = [p](const JoinRequestRecord& r) { p->joinRequest(r); };
  h.memberIncrease = [p](const MemberChangeRecord& r) {
    p->_eventSystem_GroupMemberIncrease(r.subType, r.sendTime, r.fromGroup, r.fromQQ,
                                        r.beingOperateQQ);
  };
  h.memberDecrease = [p](const MemberChangeRecord& r) {
    p->_eventSystem_GroupMemberDecrease(r.subType, r.sendTime, r.fromGroup, r.fromQQ,
                                        r.beingOperateQQ);
  };
  return h;
}

}  // namespace bw
