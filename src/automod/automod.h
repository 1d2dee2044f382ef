// Automod: the automatic-moderation rules acting on a managed group's
// messages, after the existing rules have seen them. The rules come from the
// account's rule file (RuleFile, read at the first message and again when the
// account's data folder changes) or from the panel (setRules: validated, saved
// atomically, then applied).
//
// Each verdict of the Evaluator is carried out in its chain's order: recall
// (when the host can; otherwise a run-log note), warn with the message
// variables, warning points (WarningPointTable) and the ladder's penalty for
// the points held, mute, kick, kick and blacklist, report to the report group.
// Every action becomes a case (CaseTable); mutes and kicks are recorded once
// the host says they were done. A watch-only rule's verdict is recorded as
// cases marked "would have", and nothing else happens.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "automod/evaluator.h"
#include "automod/rule.h"
#include "automod/rule_file.h"
#include "events/records.h"

namespace bw {

class Clock;
class HostApi;
class RunLog;
class Identity;
class AccountLists;
class MemberTable;
class Departures;
class CaseTable;
class WarningPointTable;
class OutcomeGate;

namespace automod {

class Automod {
 public:
  Automod(Clock& clock, HostApi& host, RunLog& runLog, const Identity& identity,
          AccountLists& lists, MemberTable& members, Departures& departures, CaseTable& cases,
          WarningPointTable& points);
  ~Automod();
  Automod(const Automod&) = delete;
  Automod& operator=(const Automod&) = delete;

  void process(const GroupMessageRecord& record);

  // The rules in force (canRecall filled from the host).
  RuleSet rules();
  // Validates and saves the set to the rule file, then applies it. The
  // problems when refused (nothing saved, nothing changed); an unwritable file
  // is one problem too. A rule the file could not read, left unchanged, is not
  // checked: it stays off and its section is written back as it was, so one
  // broken section never blocks saving the others.
  std::vector<Problem> setRules(const RuleSet& set);
  // The rules in force that the file could not read and nobody replaced yet.
  std::vector<BrokenRule> brokenRules();
  // Applies a set without saving it (replay's control line): rules with
  // problems are turned off; the problems are returned.
  std::vector<Problem> useRules(RuleSet set);
  // Reads the rule file again (rules that cannot be read turned off, each with
  // a run-log entry and a log line).
  void reload();
  // The rule file of the account ("" before the data folder is known).
  std::string filePath() const;

  // The lookups the live robot uses (never-targets, join times), for callers
  // that evaluate on their own.
  Lookups lookups();

 private:
  void ensureLoaded();
  void apply(RuleSet set);
  void carryOut(const GroupMessageRecord& record, const Verdict& v, int64_t now);
  void addCase(const GroupMessageRecord& record, const Verdict& v, std::string_view action,
               int64_t amount, std::string reason, int64_t now);

  Clock& clock_;
  HostApi& host_;
  RunLog& runLog_;
  const Identity& identity_;
  AccountLists& lists_;
  MemberTable& members_;
  Departures& departures_;
  CaseTable& cases_;
  WarningPointTable& points_;
  std::shared_ptr<OutcomeGate> gate_;

  std::mutex mu_;
  std::string loadedFrom_;  // the data folder the rules were read from
  bool fixed_ = false;      // rules set by useRules: the file is not read over them
  std::unique_ptr<RuleFile> file_;
  std::unique_ptr<PointsLedger> ledger_;
  Evaluator evaluator_;
  int64_t lastPrune_ = 0;
};

}  // namespace automod
}  // namespace bw
