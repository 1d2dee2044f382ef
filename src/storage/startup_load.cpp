#include "storage/startup_load.h"

#include "host/robot.h"
#include "logs/run_log.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "storage/settings_store.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "web/qq_services.h"
#include "settings/option_names.h"

namespace bw {
namespace {

constexpr const char* kType = "初始化";

void Run(const std::function<void()>& step) {
  if (step) step();
}

}  // namespace

void StartupLoad(Robot& robot, SettingsStore& store, const StartupSteps& steps) {
  if (steps.showAvatar) steps.showAvatar(robot.qq.fetchOwnAvatar());
  robot.runLog.WriteRunLog(kType, "正在初始化...");

  const bool connected = steps.connectDatabase
                             ? steps.connectDatabase(robot.db)
                             : DeployAndConnectSqlite(robot.db, robot.dataDirectory());
  if (connected) {
    robot.runLog.WriteRunLog(kType, "数据库连接成功");
    Run(steps.loadAdministrators);
    robot.runLog.WriteRunLog(kType, "加载管理员完毕");
    Run(steps.loadWhitelist);
    robot.runLog.WriteRunLog(kType, "加载白名单完毕");
    Run(steps.loadBlacklist);
    robot.runLog.WriteRunLog(kType, "加载黑名单完毕");
  } else {
    // Files and options still load; every statement fails until a restart.
    robot.runLog.WriteRunLog(kType, "数据库连接失败");
  }

  store.LoadTaskList();
  store.LoadGroupList();
  store.RebuildGroupDerivedLists();
  store.RestoreControls(ControlKind::kEdit, store.path("setsoft.ini"));
  store.RestoreControls(ControlKind::kCheck, store.path("setsoft.ini"));
  // Radio boxes are saved with the rest; coming back at their defaults would
  // silently switch a group from muting to kicking after every restart.
  store.RestoreControls(ControlKind::kRadio, store.path("setsoft.ini"));
  store.LoadKeywordList();
  Run(steps.rebuildKeywordReplies);
  robot.runLog.WriteRunLog(kType, "读取历史配置成功");
  robot.runLog.WriteRunLog(kType, "初始化完毕...");

  if (robot.settings.checked(opt::kTasksOn) && robot.lists.tasks.rowCount() > 0)
    Run(steps.startScheduler);
  Run(steps.refreshFeatureStatus);
  Run(steps.startMemberRefresh);
}

}  // namespace bw
