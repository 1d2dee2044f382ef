#include "core/rule_modules.h"

#include "settings/option_names.h"
#include "settings/settings_model.h"

namespace bw {

RuleModules::RuleModules(const Services& s)
    : memberTable(s.db),
      inviteTable(s.db),
      accountListTable(s.db, &s.identity, &s.settings),
      caseTable(s.db),
      cases(s.clock, s.identity, caseTable),
      accountLists(s.clock, s.settings, s.lists, s.runLog, s.qq, accountListTable, memberTable),
      invites(s.clock, s.host, s.settings, s.lists, s.runLog, s.qq, inviteTable),
      removal(s.host, s.groupLog, s.identity, invites, memberTable),
      memberLimit(s.clock, s.host, s.settings, s.lists, s.identity, memberTable, removal, cases),
      departures(s.clock, s.settings, s.runLog, s.groupLog, s.managedGroups, s.stop, memberTable,
                 inviteTable, invites, accountLists, memberLimit, removal, cases),
      arrivals(s.clock, s.host, s.settings, s.lists, s.runLog, s.groupLog, s.qq, s.managedGroups,
               memberTable, invites, memberLimit, cases),
      screening(s.clock, s.host, s.settings, s.qq, s.managedGroups, s.stop, accountLists,
                memberTable, invites, cases),
      store(s.settings, s.lists, s.managedGroups, s.runLog, s.identity, s.clock),
      memberRefresh(s.clock, s.host, s.settings, s.lists, s.runLog, s.qq, s.stop, memberTable,
                    accountLists, memberLimit, store),
      keywordReplies(s.host, s.settings, s.lists, s.identity),
      warnings(s.db),
      violations(s.clock, s.host, s.settings, s.runLog, s.identity, warnings, departures,
                 accountLists, s.images, cases),
      processor(s.settings, s.identity, invites, accountLists, violations, keywordReplies),
      privateMessages(s.settings, keywordReplies),
      scheduler(s.clock, s.host, s.settings, s.lists.tasks, s.runLog, s.qq, s.managedGroups,
                s.stop),
      warningPoints(s.db),
      automod(s.clock, s.host, s.runLog, s.identity, accountLists, memberTable, departures,
              caseTable, warningPoints),
      caseBook(s.host, accountLists, cases, warningPoints),
      verificationTable(s.db, s.identity),
      verification(s.clock, s.host, s.settings, s.runLog, s.identity, s.managedGroups, accountLists,
                   memberTable, removal, verificationTable, caseTable),
      historyTable(s.db),
      history(s.clock, s.settings, s.identity, historyTable) {}

RuleModules::~RuleModules() = default;

void RuleModules::onGroupMessage(const GroupMessageRecord& record) {
  history.record(record);  // before the rules, which may recall it
  processor.process(record);
  automod.process(record);
}

}  // namespace bw
