// Verification: newcomers of the groups that ask for it must prove they are
// people. A member who joins is asked, by mention, a small arithmetic question
// or one of the owner's questions, and must answer in the group within the
// time limit. Until then every other message of theirs is recalled (where the
// host can recall); a right answer is acknowledged, and too many wrong answers
// or the time running out kick them (optionally refusing a rejoin). An
// administrator passes a member by a command in the group or in the panel.
// Administrators, group owners, the robot and whitelisted accounts are never
// asked.
//
// What is pending lives in the database (VerificationTable) and in memory (so
// a group message costs no query); it is read back at start, so deadlines
// survive a restart. Deadlines follow the Clock: the service sweeps them on a
// thread of its own; replay and the offline panel use the stepped mode, where
// the owner of the clock calls expireDue() as it moves time.
//
// Every kick, recall and pass becomes a case.
//
// Thread-safety: all members may be called from any thread. A pending entry
// is taken out of memory before it is acted on, so an answer and the deadline
// arriving together act once.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "events/records.h"
#include "storage/verification_table.h"
#include "util/clock.h"

namespace bw {

class HostApi;
class RunLog;
class Settings;
class Identity;
class ManagedGroups;
class AccountLists;
class MemberTable;
class MemberRemoval;
class CaseTable;
class OutcomeGate;

// The rule name cases of verification carry.
inline constexpr char kVerificationRule[] = "入群验证";

// One question of the owner's list: "问题|答案|答案…" per line.
struct VerificationQuestion {
  std::string question;
  std::vector<std::string> answers;
};

// The owner's list as written in the option; `problems` gets one line, in
// plain Chinese, for each line that cannot be used (it is left out).
std::vector<VerificationQuestion> ParseVerificationQuestions(const std::string& text,
                                                             std::vector<std::string>* problems);
// The groups of the enable list ("+", blanks, commas or line breaks between
// numbers); `problems` gets the pieces that are no group number.
std::vector<int64_t> ParseVerificationGroups(const std::string& text,
                                             std::vector<std::string>* problems);
// An answer (plain text) as it is compared: folded as util/fold.h folds, so
// full-width forms, case, blanks and invisible characters do not count.
std::string NormalizeVerificationAnswer(std::string_view text);

class Verification {
 public:
  Verification(Clock& clock, HostApi& host, Settings& settings, RunLog& runLog,
               const Identity& identity, ManagedGroups& managedGroups, AccountLists& lists,
               MemberTable& members, MemberRemoval& removal, VerificationTable& table,
               CaseTable& cases);
  ~Verification();  // stop(); later kick outcomes are dropped
  Verification(const Verification&) = delete;
  Verification& operator=(const Verification&) = delete;

  // No sweeping thread: deadlines pass only when expireDue() is called.
  void useSteppedMode();
  // Reads the pending verifications back from the table and, unless stepped,
  // starts the sweep. Called once the database is connected.
  void start();
  void stop();

  // The switch is on, the group is in the enable list and managed.
  bool enabledFor(int64_t group) const;

  void onMemberJoined(const MemberChangeRecord& record);
  void onMemberLeft(const MemberChangeRecord& record);
  // True when the message was verification's own business — an answer, a
  // recalled message of an unverified member, an administrator's pass
  // command — and nothing else may run on it.
  bool screenMessage(const GroupMessageRecord& record);

  // An administrator (`actor`, 0 for the panel's owner) lets the member in;
  // `how` names the way for the case ("面板", the command). False when the
  // member was not pending.
  bool pass(int64_t group, int64_t member, int64_t actor, const std::string& how);

  std::vector<PendingVerification> pending() const;
  std::optional<SystemTime> nextDeadline() const;
  // Kicks (or, where verification is off by now, lets go) every member whose
  // deadline has passed; returns how many were due.
  int expireDue();

 private:
  using Key = std::pair<int64_t, int64_t>;  // group, member

  bool exempt(int64_t group, int64_t member) const;
  PendingVerification ask(int64_t group, int64_t member);
  std::optional<PendingVerification> claim(int64_t group, int64_t member);
  void kick(const PendingVerification& p, const std::string& reason, const std::string& evidence);
  void recall(const GroupMessageRecord& record, const std::string& reason);
  void addCase(int64_t group, int64_t member, std::string_view action, int64_t actor,
               std::string reason, std::string evidence);
  bool passCommand(const GroupMessageRecord& record);
  void sweep(std::stop_token stop);
  void wakeSweep();

  Clock& clock_;
  HostApi& host_;
  Settings& settings_;
  RunLog& runLog_;
  const Identity& identity_;
  ManagedGroups& managedGroups_;
  AccountLists& lists_;
  MemberTable& members_;
  MemberRemoval& removal_;
  VerificationTable& table_;
  CaseTable& cases_;
  std::shared_ptr<OutcomeGate> gate_;

  mutable std::mutex mu_;
  std::map<Key, PendingVerification> pending_;
  bool stepped_ = false;
  std::stop_source wake_;  // stopped to make the sweep look at the deadlines again
  std::condition_variable_any idle_;
  std::jthread sweeper_;
};

}  // namespace bw
