#include "automod/automod.h"

#include "automod/compiled.h"
#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/identity.h"
#include "host/message_variables.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/departures.h"
#include "storage/case_table.h"
#include "storage/member_table.h"
#include "storage/warning_point_table.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "util/text.h"

namespace bw::automod {

namespace {

constexpr std::string_view kLogType = "自动管理";
// Points older than this are gone for every ladder (its days are at most a year).
constexpr int64_t kPruneAfterSeconds = (kMaxLadderDays + 1) * 86400;
constexpr std::string_view kLadderWarning = "[昵称] 你在本群已累计 {n} 个警告点，请遵守群规。";

std::string_view CaseAction(ActionKind k) {
  switch (k) {
    case ActionKind::kRecall:
      return kCaseRecall;
    case ActionKind::kWarn:
      return kCaseWarn;
    case ActionKind::kPoints:
      return kCasePoints;
    case ActionKind::kMute:
      return kCaseMute;
    case ActionKind::kKick:
      return kCaseKick;
    case ActionKind::kKickBlacklist:
      return kCaseKickBlacklist;
    case ActionKind::kReport:
      return kCaseReport;
  }
  return kCaseWarn;
}

// The points of the live robot: one row per giving in the database.
class TablePoints final : public PointsLedger {
 public:
  TablePoints(WarningPointTable& table, const Identity& identity)
      : table_(table), identity_(identity) {}
  int64_t add(int64_t group, int64_t member, int64_t points, int64_t time, int64_t days) override {
    table_.add(TextToInt(identity_.loginAccount()), group, member, points, time);
    return held(group, member, time, days);
  }
  int64_t held(int64_t group, int64_t member, int64_t time, int64_t days) override {
    // Unreadable: no ladder step rather than a wrong one.
    return table_.held(group, member, time - days * 86400).value_or(0);
  }

 private:
  WarningPointTable& table_;
  const Identity& identity_;
};

// The message as plain text: its codes must not mention everyone or repost an
// image in the administrators' group.
std::string Excerpt(std::string_view text) {
  return cq::Escape(CaseTable::Excerpt(text, 300), false);
}

}  // namespace

Automod::Automod(Clock& clock, HostApi& host, RunLog& runLog, const Identity& identity,
                 AccountLists& lists, MemberTable& members, Departures& departures,
                 CaseTable& cases, WarningPointTable& points)
    : clock_(clock),
      host_(host),
      runLog_(runLog),
      identity_(identity),
      lists_(lists),
      members_(members),
      departures_(departures),
      cases_(cases),
      points_(points),
      gate_(std::make_shared<OutcomeGate>()),
      ledger_(std::make_unique<TablePoints>(points, identity)),
      evaluator_(RuleSet{}) {}

Automod::~Automod() { gate_->close(); }

std::string Automod::filePath() const {
  const std::string dir = identity_.dataDirectory();
  return dir.empty() ? std::string() : JoinPath(dir, kRuleFileName);
}

void Automod::ensureLoaded() {
  {
    std::lock_guard lock(mu_);
    if (fixed_) return;
    if (identity_.dataDirectory() == loadedFrom_ && file_) return;
  }
  reload();
}

void Automod::reload() {
  const std::string dir = identity_.dataDirectory();
  if (dir.empty()) return;
  auto file = std::make_unique<RuleFile>(JoinPath(dir, kRuleFileName));
  LoadedRules loaded = file->load();
  for (const Problem& p : loaded.problems)
    runLog_.WriteRunLog(kLogType, std::string(kRuleFileName) + "：" + p.text() +
                                      (p.ruleId.empty() ? "" : "（这条规则已停用）"));
  std::lock_guard lock(mu_);
  loadedFrom_ = dir;
  fixed_ = false;
  file_ = std::move(file);
  evaluator_.setRules(Compile(loaded.set));
}

RuleSet Automod::rules() {
  ensureLoaded();
  RuleSet set = evaluator_.ruleSet();
  set.canRecall = host_.canRecall();
  return set;
}

std::vector<Problem> Automod::setRules(const RuleSet& set) {
  ensureLoaded();
  std::lock_guard lock(mu_);
  std::vector<Problem> problems =
      Validate(set, [this](const Rule& r) { return file_ && file_->keeps(r); });
  if (!problems.empty()) return problems;
  if (!file_) {
    problems.push_back(Problem{"", "", "", "账号的数据文件夹还不知道，规则没有保存，请稍后再试"});
    return problems;
  }
  if (!file_->save(set)) {
    problems.push_back(
        Problem{"", "", "", "规则文件写不进去（" + file_->path() + "），规则没有保存"});
    return problems;
  }
  evaluator_.setRules(Compile(set));
  return problems;
}

std::vector<BrokenRule> Automod::brokenRules() {
  ensureLoaded();
  std::lock_guard lock(mu_);
  if (!file_) return {};
  return file_->broken(evaluator_.ruleSet());
}

std::vector<Problem> Automod::useRules(RuleSet set) {
  std::vector<Problem> problems;
  for (Rule& r : set.rules) {
    if (r.state == RuleState::kOff) continue;  // never runs: its problems wait for the owner
    std::vector<Problem> own = Validate(r);
    if (!own.empty()) r.state = RuleState::kOff;
    for (auto& p : own) problems.push_back(std::move(p));
  }
  if (!Validate(set.ladder).empty()) {
    for (auto& p : Validate(set.ladder)) problems.push_back(std::move(p));
    set.ladder = Ladder{};
  }
  std::lock_guard lock(mu_);
  fixed_ = true;
  evaluator_.setRules(Compile(set));
  return problems;
}

Lookups Automod::lookups() {
  Lookups l;
  l.exempt = [this](int64_t, int64_t member) {
    // As the existing rules decide: administrators (the owners and
    // administrators of the groups among them), whitelisted accounts, the robot.
    return identity_.isUntouchable(member) || lists_.isAdministrator(member) ||
           lists_.isWhitelisted(member);
  };
  l.joinTime = [this](int64_t group, int64_t member) { return members_.joinTime(group, member); };
  return l;
}

void Automod::process(const GroupMessageRecord& record) {
  ensureLoaded();
  const int64_t nowMs = clock_.unixMillis();
  Message m;
  m.group = record.fromGroup;
  m.member = record.fromQQ;
  m.msgId = record.msgId;
  m.text = record.msg;
  m.timeMs = nowMs;
  const std::vector<Verdict> verdicts = evaluator_.evaluate(m, lookups(), ledger_.get());
  const int64_t now = nowMs / 1000;
  for (const Verdict& v : verdicts) carryOut(record, v, now);
  if (!verdicts.empty() && now - lastPrune_ > 86400) {
    lastPrune_ = now;
    points_.prune(now - kPruneAfterSeconds);
  }
}

void Automod::addCase(const GroupMessageRecord& record, const Verdict& v, std::string_view action,
                      int64_t amount, std::string reason, int64_t now) {
  CaseRecord c;
  c.time = now;
  c.robot = TextToInt(identity_.loginAccount());
  c.group = record.fromGroup;
  c.member = record.fromQQ;
  c.action = std::string(action);
  c.rule = v.ruleName;
  c.reason = std::move(reason);
  c.evidence = record.msg;
  c.amount = amount;
  c.wouldHave = v.watch;
  cases_.add(std::move(c));
}

void Automod::carryOut(const GroupMessageRecord& record, const Verdict& v, int64_t now) {
  const int64_t group = record.fromGroup;
  const int64_t member = record.fromQQ;
  const std::string who = std::to_string(member) + " 在群 " + std::to_string(group);
  if (v.watch) {
    // Watch-only: what would have happened, as cases; no host call.
    std::string list;
    for (const Step& s : v.steps) {
      addCase(record, v, CaseAction(s.kind), s.amount,
              s.ladder ? v.reason + "；警告阶梯：" + std::to_string(s.held) + " 点" : v.reason,
              now);
      list += (list.empty() ? "" : "、") + std::string(CaseAction(s.kind));
    }
    runLog_.WriteRunLog(
        kLogType, "仅观察 规则「" + v.ruleName + "」：" + who + "，" + v.reason + "，本会" + list);
    return;
  }
  runLog_.WriteRunLog(kLogType, "规则「" + v.ruleName + "」：" + who + "，" + v.reason);
  const int64_t reportGroup = evaluator_.rules()->set.reportGroup;
  bool warned = false;
  for (const Step& s : v.steps) {
    const std::string reason =
        s.ladder ? v.reason + "；警告阶梯：" + std::to_string(s.held) + " 点" : v.reason;
    switch (s.kind) {
      case ActionKind::kRecall:
        if (!host_.canRecall() || record.msgId == 0) {
          runLog_.WriteRunLog(kLogType,
                              "规则「" + v.ruleName + "」要撤回 " + who + " 的消息，但" +
                                  (host_.canRecall() ? "这条消息没有编号" : "这个宿主不能撤回") +
                                  "，已跳过");
          break;
        }
        if (host_.recallMessage(record.msgId) < 0) {
          runLog_.WriteRunLog(kLogType,
                              "撤回失败：" + who + " 的消息 " + std::to_string(record.msgId));
          break;
        }
        addCase(record, v, kCaseRecall, 0, reason, now);
        break;
      case ActionKind::kWarn: {
        // The ladder's warning after the rule's own would be a second message
        // about one offence.
        if (s.ladder && warned) break;
        warned = true;
        std::string text = s.text;
        if (s.ladder || text.empty())
          text = ReplaceAll(kLadderWarning, "{n}", std::to_string(s.held));
        host_.CQ_sendGroupMsg(group, FillMessageVariables(text, member, clock_.now()));
        addCase(record, v, kCaseWarn, 0, reason, now);
        break;
      }
      case ActionKind::kPoints:
        // Given by the evaluation already (one row in 警告点).
        addCase(record, v, kCasePoints, s.amount, reason + "；共 " + std::to_string(s.held) + " 点",
                now);
        break;
      case ActionKind::kMute: {
        CaseRecord c;
        c.time = now;
        c.robot = TextToInt(identity_.loginAccount());
        c.group = group;
        c.member = member;
        c.action = std::string(kCaseMute);
        c.rule = v.ruleName;
        c.reason = reason;
        c.evidence = record.msg;
        c.amount = s.amount;
        // Recorded once the host says it was done, as the existing rules do.
        host_.setGroupBanThen(
            group, member, s.amount,
            [gate = gate_, &cases = cases_, &log = runLog_, c = std::move(c),
             text = who + " 禁言 " + std::to_string(s.amount) + " 秒"](bool done) {
              if (!done) return;
              gate->run([&] {
                log.WriteRunLog("禁言", text);
                cases.add(c);
              });
            });
        break;
      }
      case ActionKind::kKick:
      case ActionKind::kKickBlacklist: {
        const bool blacklist = s.kind == ActionKind::kKickBlacklist;
        CaseRecord c;
        c.time = now;
        c.robot = TextToInt(identity_.loginAccount());
        c.group = group;
        c.member = member;
        c.action = std::string(blacklist ? kCaseKickBlacklist : kCaseKick);
        c.rule = v.ruleName;
        c.reason = reason;
        c.evidence = record.msg;
        departures_.kickMember(group, member, blacklist,
                               [gate = gate_, &cases = cases_, &log = runLog_, c = std::move(c),
                                text = std::to_string(member) + "踢出 群" + std::to_string(group)] {
                                 gate->run([&] {
                                   log.WriteRunLog("踢人", text);
                                   cases.add(c);
                                 });
                               });
        if (blacklist) lists_.addToList(AccountList::kBlacklist, member);
        break;
      }
      case ActionKind::kReport: {
        if (reportGroup <= 0) {
          runLog_.WriteRunLog(kLogType, "规则「" + v.ruleName + "」要报告，但还没有选择报告群");
          break;
        }
        host_.CQ_sendGroupMsg(reportGroup, "【自动管理】规则「" + v.ruleName + "」\n成员：" +
                                               std::to_string(member) + "\n群：" +
                                               std::to_string(group) + "\n原因：" + v.reason +
                                               "\n内容：" + Excerpt(record.msg));
        addCase(record, v, kCaseReport, 0, reason, now);
        break;
      }
    }
  }
}

}  // namespace bw::automod
