#include "storage/verification_table.h"

#include "host/identity.h"
#include "storage/database.h"
#include "storage/prepared.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {
namespace {

// The longest head of `text` of at most `max` bytes that ends on a character
// boundary.
std::string CutUtf8(const std::string& text, size_t max) {
  if (text.size() <= max) return text;
  size_t end = max;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Answers are written one per line: an answer never holds a line break.
std::string JoinAnswers(const std::vector<std::string>& answers) {
  std::string out;
  for (const std::string& a : answers) {
    if (a.empty() || out.size() + a.size() + 1 > kVerificationTextBytes) continue;
    if (!out.empty()) out += '\n';
    out += a;
  }
  return out;
}

std::string Who(int64_t group, int64_t member) {
  return std::to_string(member) + " of group " + std::to_string(group);
}

}  // namespace

VerificationTable::VerificationTable(Database& db, const Identity& identity)
    : db_(db), identity_(identity) {}

std::string VerificationTable::robot() const { return identity_.loginAccount(); }

bool VerificationTable::add(const PendingVerification& p) {
  const std::string self = robot();
  const std::string group = std::to_string(p.group);
  const std::string member = std::to_string(p.member);
  Transaction tx(db_);
  if (!tx.ok()) {
    LogWarning("verification of " + Who(p.group, p.member) + " not stored: no transaction");
    return false;
  }
  if (RunPrepared(db_, "delete from 入群验证 where 机器人=? and 群号=? and QQ号=?",
                  {self, group, member})
          .failed()) {
    LogWarning("verification of " + Who(p.group, p.member) + " not stored: the delete failed");
    return false;
  }
  const ExecResult inserted =
      RunPrepared(db_,
                  "insert into 入群验证(机器人,群号,QQ号,问题,答案,加群时间,截止时间,答错次数) "
                  "values(?,?,?,?,?,?,?,?)",
                  {self, group, member, CutUtf8(p.question, kVerificationTextBytes),
                   JoinAnswers(p.answers), p.joined, p.deadline, static_cast<int64_t>(p.wrong)});
  if (!inserted.done() || !tx.commit()) {
    LogWarning("verification of " + Who(p.group, p.member) + " not stored: the insert failed");
    return false;
  }
  return true;
}

bool VerificationTable::remove(int64_t group, int64_t member) {
  const ExecResult r = RunPrepared(db_, "delete from 入群验证 where 机器人=? and 群号=? and QQ号=?",
                                   {robot(), std::to_string(group), std::to_string(member)});
  if (r.failed()) LogWarning("verification of " + Who(group, member) + ": the delete failed");
  return r.done();
}

int32_t VerificationTable::addWrong(int64_t group, int64_t member) {
  const std::string self = robot();
  const std::string groupText = std::to_string(group);
  const std::string memberText = std::to_string(member);
  Transaction tx(db_);
  // One statement adds the answer: a second service or worker counting at the
  // same moment adds its own, never overwrites it.
  if (!RunPrepared(db_,
                   "update 入群验证 set 答错次数=答错次数+1 where 机器人=? and 群号=? and QQ号=?",
                   {self, groupText, memberText})
           .done()) {
    LogWarning("wrong answer of " + Who(group, member) + " not counted: no pending row");
    return -1;
  }
  int64_t count = -1;
  {
    PreparedQuery q(db_, "select 答错次数 from 入群验证 where 机器人=? and 群号=? and QQ号=?",
                    {self, groupText, memberText});
    if (q.next()) count = TextToInt(q.text(0));
  }
  if (count < 0 || (tx.ok() && !tx.commit())) {
    LogWarning("wrong answer of " + Who(group, member) + " not counted: it cannot be read back");
    return -1;
  }
  return static_cast<int32_t>(count > INT32_MAX ? INT32_MAX : count);
}

std::vector<PendingVerification> VerificationTable::all() {
  std::vector<PendingVerification> out;
  PreparedQuery q(db_,
                  "select 群号,QQ号,问题,答案,加群时间,截止时间,答错次数 from 入群验证 "
                  "where 机器人=? order by 截止时间",
                  {robot()});
  while (q.next()) {
    PendingVerification p;
    p.group = TextToInt(q.text(0));
    p.member = TextToInt(q.text(1));
    p.question = q.text(2);
    for (std::string& a : Split(q.text(3), "\n"))
      if (!a.empty()) p.answers.push_back(std::move(a));
    p.joined = TextToInt(q.text(4));
    p.deadline = TextToInt(q.text(5));
    p.wrong = static_cast<int32_t>(TextToInt(q.text(6)));
    // A row edited by hand into nonsense is left where it is, not acted on.
    if (!IsAccountNumber(std::to_string(p.group)) || !IsAccountNumber(std::to_string(p.member))) {
      LogWarning("入群验证: a row without a group or member number is skipped");
      continue;
    }
    out.push_back(std::move(p));
  }
  return out;
}

}  // namespace bw
