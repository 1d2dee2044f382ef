#include "core/rule_modules.h"

#include "settings/option_names.h"
#include "settings/settings_model.h"

namespace bw {

RuleModules::RuleModules(const Services& s)
    : robot_(s.clock, s.host, s.settings, s.lists, s.runLog, s.groupLog, s.db, s.qq,
             s.managedGroups, s.identity, s.stop),
      accountLists(robot_),
      invites(robot_),
      memberLimit(robot_, invites),
      departures(robot_, invites, accountLists, memberLimit),
      arrivals(robot_, invites, memberLimit),
      screening(robot_, invites),
      store(robot_),
      memberRefresh(robot_, accountLists, memberLimit, store),
      keywordReplies(s.host, s.settings, s.lists, s.identity),
      warnings(s.db),
      violations(s.clock, s.host, s.settings, s.runLog, s.identity, warnings, departures,
                 accountLists, s.images),
      processor(s.settings, s.identity, invites, accountLists, violations, keywordReplies),
      privateMessages(s.settings, keywordReplies),
      scheduler(s.clock, s.host, s.settings, s.lists.tasks, s.runLog, s.qq, s.managedGroups,
                s.stop) {
  // A rebuilt group list changes which groups are counted.
  Settings& settings = s.settings;
  store.setAfterRebuild([this, &settings] {
    if (settings.checked(opt::kMemberLimitOn)) memberLimit.recountMembers();
  });
}

RuleModules::~RuleModules() { store.setAfterRebuild(nullptr); }

}  // namespace bw
