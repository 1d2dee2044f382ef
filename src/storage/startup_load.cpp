#include "storage/startup_load.h"

#include "host/identity.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "storage/settings_store.h"
#include "util/files.h"
#include "util/log.h"
#include "web/qq_services.h"

namespace bw {
namespace {

constexpr const char* kType = "初始化";

void Run(const std::function<void()>& step) {
  if (step) step();
}

// A save killed between writing its temporary file and the rename leaves that
// file behind; nothing writes yet, so whatever matches is such a leftover.
void RemoveInterruptedSaves(const Identity& identity) {
  for (const std::string& dir : {identity.dataDirectory(), identity.runDirectory() + "/data"}) {
    if (dir.empty()) continue;
    for (const std::string& name : RemoveStaleTemporaryFiles(dir))
      LogInfo("removed " + JoinPath(dir, name) + ", left by an interrupted save");
  }
}

}  // namespace

void StartupLoad(const StartupContext& context, SettingsStore& store, const StartupSteps& steps) {
  RemoveInterruptedSaves(context.identity);
  if (steps.showAvatar) steps.showAvatar(context.qq.fetchOwnAvatar());
  context.runLog.WriteRunLog(kType, "正在初始化...");

  const bool connected = steps.connectDatabase
                             ? steps.connectDatabase(context.db)
                             : DeployAndConnectSqlite(context.db, context.identity.dataDirectory());
  if (connected) {
    context.runLog.WriteRunLog(kType, "数据库连接成功");
    Run(steps.loadAdministrators);
    context.runLog.WriteRunLog(kType, "加载管理员完毕");
    Run(steps.loadWhitelist);
    context.runLog.WriteRunLog(kType, "加载白名单完毕");
    Run(steps.loadBlacklist);
    context.runLog.WriteRunLog(kType, "加载黑名单完毕");
  } else {
    // Files and options still load; every statement fails until a restart.
    context.runLog.WriteRunLog(kType, "数据库连接失败");
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
  context.runLog.WriteRunLog(kType, "读取历史配置成功");
  context.runLog.WriteRunLog(kType, "初始化完毕...");

  if (context.settings.checked(opt::kTasksOn) && context.lists.tasks.rowCount() > 0)
    Run(steps.startScheduler);
  Run(steps.refreshFeatureStatus);
  Run(steps.startMemberRefresh);
}

}  // namespace bw
