// RuleModules: the one place that builds every rule module and wires them to
// each other and to the services they use. The service, replay, the Windows
// plug-in, the tests and the benchmarks all build the rules through it, so the
// wiring exists once.
//
// Services is what a host hands to the composition; no module takes it whole:
// each takes the few services it uses.
//
// Thread-safety: the modules are thread-safe themselves; construction and
// destruction belong to the owner's thread.
#pragma once

#include <stop_token>

#include "cases/case_book.h"
#include "host/image_info.h"
#include "membership/account_lists.h"
#include "membership/arrivals.h"
#include "membership/case_recorder.h"
#include "membership/departures.h"
#include "membership/invite_stats.h"
#include "membership/join_screening.h"
#include "membership/member_limit.h"
#include "membership/member_refresh.h"
#include "membership/member_removal.h"
#include "moderation/group_message_processor.h"
#include "moderation/keyword_replies.h"
#include "moderation/message_history.h"
#include "moderation/violations.h"
#include "storage/account_list_table.h"
#include "storage/case_table.h"
#include "storage/invite_table.h"
#include "storage/member_table.h"
#include "storage/message_history_table.h"
#include "storage/settings_store.h"
#include "storage/verification_table.h"
#include "storage/warning_table.h"
#include "tasks/scheduler.h"
// Automatic moderation: after the existing rules, one pass over its rules.
#include "automod/automod.h"
#include "storage/case_table.h"
#include "storage/warning_point_table.h"
#include "verification/verification.h"

namespace bw {

class Clock;
class HostApi;
class Settings;
struct ListViews;
class RunLog;
class GroupLog;
class Database;
class QqServices;
class ManagedGroups;
class Identity;

struct Services {
  Clock& clock;
  HostApi& host;
  Settings& settings;
  ListViews& lists;
  RunLog& runLog;
  GroupLog& groupLog;
  Database& db;
  QqServices& qq;
  ManagedGroups& managedGroups;
  Identity& identity;
  ImageInfo& images;     // sizes for the oversized-image check
  std::stop_token stop;  // requested when the robot shuts down
};

class RuleModules {
 public:
  explicit RuleModules(const Services& services);
  ~RuleModules();
  RuleModules(const RuleModules&) = delete;
  RuleModules& operator=(const RuleModules&) = delete;

  // The table owners: the only places that hold the tables' statements.
  MemberTable memberTable;
  InviteTable inviteTable;
  AccountListTable accountListTable;
  // Every act of the robot, as a case (before the rules that record them).
  CaseTable caseTable;
  CaseRecorder cases;

  AccountLists accountLists;
  InviteStats invites;
  MemberRemoval removal;
  MemberLimit memberLimit;
  Departures departures;
  Arrivals arrivals;
  JoinScreening screening;
  SettingsStore store;
  MemberRefresh memberRefresh;
  KeywordReplies keywordReplies;
  WarningTable warnings;
  Violations violations;
  GroupMessageProcessor processor;
  PrivateMessageHandler privateMessages;
  TaskScheduler scheduler;

  // Automatic moderation and the tables it writes (the cases: caseTable above).
  WarningPointTable warningPoints;
  automod::Automod automod;
  // A managed group's message: kept (if its group opted in), the existing
  // rules, then automod.
  void onGroupMessage(const GroupMessageRecord& record);
  // Listing, export and undo of the cases (the panel's 处罚记录).
  CaseBook caseBook;
  // Newcomer verification, asked first for every group message and join.
  VerificationTable verificationTable;
  Verification verification;

  // Kept group messages (opt-in per group), for trying rules on them.
  MessageHistoryTable historyTable;
  MessageHistory history;
};

}  // namespace bw
