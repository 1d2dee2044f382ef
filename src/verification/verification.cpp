#include "verification/verification.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <tuple>

#include "events/managed_groups.h"
#include "host/cq_code.h"
#include "host/host_api.h"
#include "host/identity.h"
#include "logs/run_log.h"
#include "membership/account_lists.h"
#include "membership/member_removal.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/case_table.h"
#include "storage/member_table.h"
#include "util/fold.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// What the options may hold; the panel refuses values beyond these, and a
// value written by hand is held to them here.
constexpr int64_t kMaxMinutes = 24 * 60;
constexpr int64_t kMaxWrong = 10;
// An answer is a short line: a longer message is chatter, recalled but not
// counted as a try.
constexpr size_t kMaxAnswerBytes = 64;
constexpr size_t kMaxEvidence = 1024;

// The message without its mention codes ("[CQ:at,…]"), which the answer may
// carry when the member replied to the robot's question.
std::string WithoutMentions(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t at = text.find("[CQ:at,", pos);
    if (at == std::string_view::npos) break;
    const size_t end = text.find(']', at);
    if (end == std::string_view::npos) break;
    out.append(text.substr(pos, at - pos));
    pos = end + 1;
  }
  out.append(text.substr(pos));
  return out;
}

// The accounts the message mentions, in order.
std::vector<int64_t> Mentioned(std::string_view text) {
  std::vector<int64_t> out;
  size_t pos = 0;
  while ((pos = text.find("[CQ:at,qq=", pos)) != std::string_view::npos) {
    const size_t begin = pos + 10;
    const size_t end = text.find_first_of(",]", begin);
    if (end == std::string_view::npos) break;
    const std::string_view number = text.substr(begin, end - begin);
    if (IsAccountNumber(number)) out.push_back(TextToInt(number));
    pos = end;
  }
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t' || s[b] == '\r')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
  return std::string(s.substr(b, e - b));
}

bool IsWholeNumber(std::string_view s) {
  if (!s.empty() && s.front() == '-') s.remove_prefix(1);
  return !s.empty() && s.size() <= 9 && s.find_first_not_of("0123456789") == std::string::npos;
}

int64_t Clamp(int64_t v, int64_t lo, int64_t hi) { return std::min(std::max(v, lo), hi); }

}  // namespace

std::string NormalizeVerificationAnswer(std::string_view text) { return FoldText(text); }

std::vector<VerificationQuestion> ParseVerificationQuestions(const std::string& text,
                                                             std::vector<std::string>* problems) {
  std::vector<VerificationQuestion> out;
  int number = 0;
  for (const std::string& raw : Split(ReplaceAll(text, "\r\n", "\n"), "\n")) {
    ++number;
    const std::string line = Trim(raw);
    if (line.empty()) continue;
    // The full-width bar is what a Chinese keyboard types.
    const std::vector<std::string> parts = Split(ReplaceAll(line, "｜", "|"), "|");
    VerificationQuestion q;
    q.question = Trim(parts[0]);
    for (size_t k = 1; k < parts.size(); ++k) {
      std::string a = Trim(parts[k]);
      if (!NormalizeVerificationAnswer(a).empty()) q.answers.push_back(std::move(a));
    }
    std::string problem;
    if (q.question.empty()) {
      problem = "没有写问题";
    } else if (q.answers.empty()) {
      problem = "没有写答案 (写法: 问题|答案|另一个答案)";
    } else if (q.question.size() > 200) {
      problem = "问题太长 (最多 200 字节)";
    } else {
      size_t answerBytes = 0;
      for (const std::string& a : q.answers) answerBytes += a.size() + 1;
      if (answerBytes > 200) problem = "答案太长 (合计最多 200 字节)";
    }
    if (!problem.empty()) {
      if (problems) problems->push_back("第 " + std::to_string(number) + " 行" + problem);
      continue;
    }
    out.push_back(std::move(q));
  }
  return out;
}

std::vector<int64_t> ParseVerificationGroups(const std::string& text,
                                             std::vector<std::string>* problems) {
  std::string spaced = text;
  for (char& c : spaced)
    if (c == '+' || c == ',' || c == ';' || c == '\r' || c == '\n' || c == '\t') c = ' ';
  spaced = ReplaceAll(spaced, "，", " ");
  std::vector<int64_t> out;
  for (const std::string& piece : Split(spaced, " ")) {
    if (piece.empty()) continue;
    if (!IsAccountNumber(piece)) {
      if (problems) problems->push_back(piece);
      continue;
    }
    const int64_t group = TextToInt(piece);
    if (std::find(out.begin(), out.end(), group) == out.end()) out.push_back(group);
  }
  return out;
}

Verification::Verification(Clock& clock, HostApi& host, Settings& settings, RunLog& runLog,
                           const Identity& identity, ManagedGroups& managedGroups,
                           AccountLists& lists, MemberTable& members, MemberRemoval& removal,
                           VerificationTable& table, CaseTable& cases)
    : clock_(clock),
      host_(host),
      settings_(settings),
      runLog_(runLog),
      identity_(identity),
      managedGroups_(managedGroups),
      lists_(lists),
      members_(members),
      removal_(removal),
      table_(table),
      cases_(cases),
      gate_(std::make_shared<OutcomeGate>()) {}

Verification::~Verification() {
  gate_->close();
  stop();
}

void Verification::useSteppedMode() {
  std::lock_guard lock(mu_);
  stepped_ = true;
}

void Verification::start() {
  std::vector<PendingVerification> rows = table_.all();
  bool stepped = false;
  {
    std::lock_guard lock(mu_);
    pending_.clear();
    for (PendingVerification& p : rows) {
      const Key key{p.group, p.member};
      pending_[key] = std::move(p);
    }
    stepped = stepped_;
  }
  if (!rows.empty())
    LogInfo("verification: " + std::to_string(rows.size()) + " newcomers still to answer");
  if (!stepped && !sweeper_.joinable())
    sweeper_ = std::jthread([this](std::stop_token stop) { sweep(stop); });
}

void Verification::stop() {
  if (sweeper_.joinable()) {
    sweeper_.request_stop();
    sweeper_.join();
  }
}

void Verification::wakeSweep() {
  {
    std::lock_guard lock(mu_);
    wake_.request_stop();
    wake_ = std::stop_source();
  }
  idle_.notify_all();
}

void Verification::sweep(std::stop_token stop) {
  while (!stop.stop_requested()) {
    std::stop_source wake;
    std::optional<int64_t> next;
    {
      std::unique_lock lock(mu_);
      // Nobody pending: the sweep waits for a question, not for the clock, so
      // an idle sweep neither moves a clock that jumps to the end of every
      // sleep (tests) nor counts among a test clock's sleepers.
      if (!idle_.wait(lock, stop, [this] { return !pending_.empty(); })) return;
      wake = wake_;
      for (const auto& [key, p] : pending_)
        if (!next || p.deadline < *next) next = p.deadline;
    }
    // Until the earliest deadline; a new question (maybe an earlier one)
    // wakes the sweep to look again.
    std::stop_callback stopping(stop, [&wake] { wake.request_stop(); });
    const SystemTime deadline{std::chrono::seconds(*next)};
    if (const SystemTime now = clock_.now(); deadline > now) {
      if (!clock_.sleepFor(std::chrono::ceil<Millis>(deadline - now), wake.get_token())) continue;
    }
    if (stop.stop_requested()) return;
    expireDue();
  }
}

bool Verification::enabledFor(int64_t group) const {
  if (!settings_.checked(opt::kVerifyOn) || !managedGroups_.contains(group)) return false;
  const std::vector<int64_t> groups =
      ParseVerificationGroups(settings_.text(opt::kVerifyGroups), nullptr);
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

bool Verification::exempt(int64_t group, int64_t member) const {
  return identity_.isUntouchable(member) || lists_.isAdministrator(member) ||
         lists_.isWhitelisted(member) || members_.isStaff(group, member);
}

PendingVerification Verification::ask(int64_t group, int64_t member) {
  PendingVerification p;
  p.group = group;
  p.member = member;
  const int64_t now = clock_.unixSeconds();
  p.joined = now;
  const int64_t minutes = Clamp(settings_.number(opt::kVerifyMinutes), 1, kMaxMinutes);
  p.deadline = now + minutes * 60;
  // Seeded by who joined where and when: a replay asks the same question
  // every run, members joining together get different ones.
  std::mt19937_64 random(static_cast<uint64_t>(group) * 1000003u ^
                         static_cast<uint64_t>(member) * 7919u ^ static_cast<uint64_t>(now));
  std::vector<VerificationQuestion> own;
  if (settings_.checked(opt::kVerifyOwnQuestions)) {
    std::vector<std::string> problems;
    own = ParseVerificationQuestions(settings_.text(opt::kVerifyQuestions), &problems);
    for (const std::string& problem : problems)
      LogWarning("verification: the owner's question list: " + problem + ", left out");
    if (own.empty()) LogWarning("verification: no usable question of the owner; asking arithmetic");
  }
  if (!own.empty()) {
    const VerificationQuestion& q = own[random() % own.size()];
    p.question = q.question;
    p.answers = q.answers;
  } else {
    int64_t a = static_cast<int64_t>(random() % 20) + 1;
    int64_t b = static_cast<int64_t>(random() % 20) + 1;
    const uint64_t op = random() % 3;
    if (op == 1 && a < b) std::swap(a, b);
    if (op == 2) {
      a = a % 9 + 1;
      b = b % 9 + 1;
    }
    const int64_t result = op == 0 ? a + b : op == 1 ? a - b : a * b;
    p.question = std::to_string(a) +
                 (op == 0   ? " + "
                  : op == 1 ? " - "
                            : " × ") +
                 std::to_string(b) + " = ?";
    p.answers = {std::to_string(result)};
  }
  return p;
}

void Verification::onMemberJoined(const MemberChangeRecord& record) {
  const int64_t group = record.fromGroup;
  const int64_t member = record.beingOperateQQ;
  if (!enabledFor(group) || exempt(group, member)) return;
  {
    std::lock_guard lock(mu_);
    // The same join told twice asks once.
    if (pending_.contains(Key{group, member})) return;
  }
  PendingVerification p = ask(group, member);
  if (!table_.add(p)) LogWarning("verification: asking anyway; a restart will forget the question");
  {
    std::lock_guard lock(mu_);
    pending_[{group, member}] = p;
  }
  wakeSweep();
  const int64_t minutes = (p.deadline - p.joined) / 60;
  const int64_t wrong = Clamp(settings_.number(opt::kVerifyWrongLimit), 1, kMaxWrong);
  host_.CQ_sendGroupMsg(group, cq::At(member) + "欢迎加入本群！请在 " + std::to_string(minutes) +
                                   " 分钟内直接发送答案：" + p.question + "（答错 " +
                                   std::to_string(wrong) + " 次或超时将被移出本群）");
}

void Verification::onMemberLeft(const MemberChangeRecord& record) {
  if (claim(record.fromGroup, record.beingOperateQQ))
    table_.remove(record.fromGroup, record.beingOperateQQ);
}

std::optional<PendingVerification> Verification::claim(int64_t group, int64_t member) {
  std::lock_guard lock(mu_);
  auto it = pending_.find({group, member});
  if (it == pending_.end()) return std::nullopt;
  PendingVerification p = std::move(it->second);
  pending_.erase(it);
  return p;
}

void Verification::addCase(int64_t group, int64_t member, std::string_view action, int64_t actor,
                           std::string reason, std::string evidence) {
  CaseRecord c;
  c.time = clock_.unixSeconds();
  c.robot = TextToInt(identity_.loginAccount());
  c.group = group;
  c.member = member;
  c.action = std::string(action);
  c.rule = kVerificationRule;
  c.reason = std::move(reason);
  c.evidence = Excerpt(evidence, kMaxEvidence);
  c.actor = actor;
  cases_.add(std::move(c));
}

void Verification::recall(const GroupMessageRecord& record, const std::string& reason) {
  if (!host_.canRecall()) return;
  if (host_.recallMessage(record.msgId) != 0) {
    LogWarning("verification: the recall of message " + std::to_string(record.msgId) +
               " in group " + std::to_string(record.fromGroup) + " failed");
    return;
  }
  addCase(record.fromGroup, record.fromQQ, kCaseRecall, 0, reason, record.msg);
}

void Verification::kick(const PendingVerification& p, const std::string& reason,
                        const std::string& evidence) {
  table_.remove(p.group, p.member);
  host_.CQ_sendGroupMsg(p.group,
                        cq::At(p.member) + "未通过入群验证（" + reason + "），将被移出本群。");
  CaseRecord c;
  c.time = clock_.unixSeconds();
  c.robot = TextToInt(identity_.loginAccount());
  c.group = p.group;
  c.member = p.member;
  c.action = std::string(kCaseVerifyKick);
  c.rule = kVerificationRule;
  c.reason = reason;
  c.evidence = Excerpt(evidence, kMaxEvidence);
  // The case says the member was removed: it is written once the host did it.
  const bool sent = removal_.kickMember(
      p.group, p.member, settings_.checked(opt::kVerifyRefuseRejoin),
      [gate = gate_, &cases = cases_, &runLog = runLog_, c = std::move(c)]() mutable {
        gate->run([&] {
          runLog.WriteRunLog("踢人", std::to_string(c.member) + "踢出 群" +
                                         std::to_string(c.group) + " (入群验证: " + c.reason + ")");
          cases.add(std::move(c));
        });
      });
  if (!sent) {
    LogWarning("verification: the kick of " + std::to_string(p.member) + " from group " +
               std::to_string(p.group) + " was not sent");
  }
}

bool Verification::pass(int64_t group, int64_t member, int64_t actor, const std::string& how) {
  const std::optional<PendingVerification> p = claim(group, member);
  if (!p) return false;
  table_.remove(group, member);
  host_.CQ_sendGroupMsg(group, cq::At(member) + "已由管理员放行，欢迎加入本群！");
  addCase(group, member, kCaseVerifyPass, actor, "管理员放行 (" + how + ")", "");
  return true;
}

bool Verification::passCommand(const GroupMessageRecord& r) {
  const std::string command = settings_.text(opt::kVerifyPassCommand);
  if (command.empty() || !Contains(r.msg, command)) return false;
  if (!lists_.isAdministrator(r.fromQQ) && !members_.isStaff(r.fromGroup, r.fromQQ)) return false;
  bool passed = false;
  for (const int64_t member : Mentioned(r.msg)) {
    if (pass(r.fromGroup, member, r.fromQQ, command)) passed = true;
  }
  return passed;
}

bool Verification::screenMessage(const GroupMessageRecord& r) {
  {
    std::lock_guard lock(mu_);
    if (pending_.empty()) return false;  // the common case costs one look
  }
  const int64_t group = r.fromGroup;
  const int64_t member = r.fromQQ;
  if (!enabledFor(group)) return false;
  if (passCommand(r)) return true;

  PendingVerification p;
  {
    std::lock_guard lock(mu_);
    auto it = pending_.find({group, member});
    if (it == pending_.end()) return false;
    p = it->second;
  }
  // The reply is message text: a mention of the robot is no part of the
  // answer, and "&", "[", "]" and "," arrive escaped.
  const std::string answer = NormalizeVerificationAnswer(cq::Unescape(WithoutMentions(r.msg)));
  // Only a short line of plain text is a try; pictures, cards and long texts
  // are what verification keeps out, not answers.
  const bool isTry =
      !answer.empty() && answer.size() <= kMaxAnswerBytes &&
      !Contains(WithoutMentions(r.msg), "[CQ:") &&
      (p.answers.size() != 1 || !IsWholeNumber(p.answers[0]) || IsWholeNumber(answer));
  bool right = false;
  for (const std::string& a : p.answers) right = right || NormalizeVerificationAnswer(a) == answer;
  if (isTry && right) {
    if (!claim(group, member)) return true;  // the deadline took it meanwhile
    table_.remove(group, member);
    host_.CQ_sendGroupMsg(group, cq::At(member) + "回答正确，验证通过，欢迎加入本群！");
    addCase(group, member, kCaseVerifyPass, 0, "回答正确", r.msg);
    return true;
  }
  recall(r, isTry ? "入群验证答错" : "未通过入群验证前发言");
  if (!isTry) return true;

  int32_t wrong = 0;
  {
    std::lock_guard lock(mu_);
    auto it = pending_.find({group, member});
    if (it == pending_.end()) return true;
    wrong = ++it->second.wrong;
  }
  // The stored count is what several workers and a restart agree on.
  wrong = std::max(wrong, table_.addWrong(group, member));
  const int64_t limit = Clamp(settings_.number(opt::kVerifyWrongLimit), 1, kMaxWrong);
  if (wrong >= limit) {
    if (std::optional<PendingVerification> claimed = claim(group, member))
      kick(*claimed, "答错 " + std::to_string(wrong) + " 次", r.msg);
    return true;
  }
  host_.CQ_sendGroupMsg(
      group, cq::At(member) + "回答错误，还可以再答 " + std::to_string(limit - wrong) + " 次。");
  return true;
}

std::vector<PendingVerification> Verification::pending() const {
  std::vector<PendingVerification> out;
  {
    std::lock_guard lock(mu_);
    for (const auto& [key, p] : pending_) out.push_back(p);
  }
  std::sort(out.begin(), out.end(), [](const PendingVerification& a, const PendingVerification& b) {
    return std::tie(a.deadline, a.group, a.member) < std::tie(b.deadline, b.group, b.member);
  });
  return out;
}

std::optional<SystemTime> Verification::nextDeadline() const {
  std::lock_guard lock(mu_);
  std::optional<int64_t> next;
  for (const auto& [key, p] : pending_)
    if (!next || p.deadline < *next) next = p.deadline;
  if (!next) return std::nullopt;
  return SystemTime(std::chrono::seconds(*next));
}

int Verification::expireDue() {
  const int64_t now = clock_.unixSeconds();
  std::vector<Key> due;
  {
    std::lock_guard lock(mu_);
    for (const auto& [key, p] : pending_)
      if (p.deadline <= now) due.push_back(key);
  }
  int count = 0;
  for (const Key& key : due) {
    std::optional<PendingVerification> p = claim(key.first, key.second);
    if (!p) continue;  // answered or gone meanwhile
    ++count;
    if (!enabledFor(p->group)) {
      // Switched off since: nobody is kicked by a rule the owner has ended.
      table_.remove(p->group, p->member);
      LogInfo("verification: " + std::to_string(p->member) + " of group " +
              std::to_string(p->group) + " let go, verification is off there now");
      continue;
    }
    kick(*p, "超时未回答", "");
  }
  return count;
}

}  // namespace bw
