#include "cases/case_book.h"

#include <atomic>
#include <chrono>
#include <string>
#include <utility>

#include "host/host_api.h"
#include "membership/account_lists.h"
#include "membership/case_recorder.h"
#include "storage/warning_point_table.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw {

namespace {

std::string Account(int64_t n) { return n ? std::to_string(n) : std::string(); }

std::string TimeText(int64_t seconds) {
  return FormatDateTime(SystemTime(std::chrono::seconds(seconds)), "yyyy-MM-dd ", "HH:mm:ss", true);
}

// The undo's own case: the same member and group, the rule it undid; made in
// the panel (`actor` is the robot itself) it says so.
CaseRecord UndoCase(const CaseRecord& original, std::string_view action, int64_t actor,
                    bool byPanel) {
  CaseRecord c;
  c.group = original.group;
  c.member = original.member;
  c.action = std::string(action);
  c.rule = original.rule;
  c.reason = std::string(byPanel ? "面板撤销" : "撤销") + "第 " + std::to_string(original.id) +
             " 号记录（" + original.action + "）";
  c.actor = actor;
  c.undoes = original.id;
  return c;
}

}  // namespace

CaseBook::CaseBook(HostApi& host, AccountLists& lists, CaseRecorder& recorder,
                   WarningPointTable& points)
    : host_(host),
      lists_(lists),
      recorder_(recorder),
      points_(points),
      gate_(std::make_shared<OutcomeGate>()) {}

CaseBook::~CaseBook() { gate_->close(); }

CasePage CaseBook::page(const CaseFilter& filter, const CaseCursor& after, int limit) {
  return recorder_.table().page(filter, after, limit);
}

std::string CaseBook::WhyNotUndoable(const CaseRecord& c, bool linked) {
  if (c.undoes != 0) return "这是一条撤销记录，不能再撤销";
  if (c.undone) return "这条记录已经撤销过了";
  if (c.wouldHave) return "这条是仅观察规则的记录，当时什么也没有做，不需要撤销";
  const std::string_view a = c.action;
  if (a == kCaseMute)
    return linked ? "" : "未连接QQ，无法撤销：解除禁言要通过QQ账号，请等账号连上后再撤销";
  if (a == kCaseBlacklist || a == kCaseKickBlacklist) return "";
  if (a == kCaseKick || a == kCaseVerifyKick)
    return "成员已经被踢出群，无法撤销；如果是误踢，请邀请对方重新入群";
  if (a == kCaseWarn) return "警告消息已经发出，无法撤销";
  if (a == kCaseRecall) return "消息已经撤回，无法恢复";
  if (a == kCaseReport) return "报告已经发给管理员群，无法撤销";
  if (a == kCaseVerifyPass) return "验证通过无法撤销";
  if (a == kCaseRefuseJoin) return "入群申请已经拒绝，无法撤销；请对方重新申请";
  if (a == kCasePoints) return c.amount > 0 ? "" : "这条记录没有加警告点";
  return "这类记录不能撤销";
}

std::string CaseBook::ActorText(const CaseRecord& c) {
  if (c.actor == 0) return "机器人";
  if (c.actor == c.robot) return "面板";
  return std::to_string(c.actor);
}

bool CaseBook::undoPending(int64_t id) const {
  std::lock_guard lock(pendingMu_);
  return pending_.contains(id);
}

UndoResult CaseBook::undo(int64_t id, int64_t actor, bool linked) {
  UndoResult out;
  const std::optional<CaseRecord> found = recorder_.table().get(id);
  if (!found) {
    out.message = "没有第 " + std::to_string(id) + " 号记录";
    return out;
  }
  const CaseRecord& c = *found;
  if (std::string why = WhyNotUndoable(c, linked); !why.empty()) {
    if (!linked && WhyNotUndoable(c).empty())
      LogInfo("cases: the undo of case " + std::to_string(id) +
              " was refused: no account connected");
    out.message = why;
    return out;
  }
  const int64_t robot = recorder_.robot();
  // The panel acts through the robot: its account stands for the owner there.
  const bool byPanel = actor == 0;
  if (byPanel) actor = robot ? robot : c.robot;
  if (c.robot != 0 && robot != 0 && c.robot != robot) {
    // Several robots may share one database: only the one that acted can
    // take its act back in its groups.
    out.message = "这条记录是机器人 " + std::to_string(c.robot) + " 做的，请在它的面板上撤销";
    return out;
  }
  // Claimed first: of two administrators undoing one case at once, one wins.
  if (!recorder_.table().markUndone(id)) {
    out.message = "这条记录已经撤销过了";
    return out;
  }

  if (c.action == kCaseMute) {
    // Shared with the outcome, which runs before setGroupBanThen returns on
    // a synchronous host and later on another thread on OneBot.
    struct Shared {
      std::atomic<int> state{0};  // 0 pending, 1 done, 2 refused
      std::atomic<int64_t> undoCase{0};
    };
    auto shared = std::make_shared<Shared>();
    CaseRecord undoCase = UndoCase(c, kCaseUnmute, actor, byPanel);
    {
      std::lock_guard lock(pendingMu_);
      pending_.insert(id);
    }
    host_.setGroupBanThen(c.group, c.member, 0,
                          [this, gate = gate_, shared, undoCase, id](bool done) {
                            gate->run([&] {
                              if (done) {
                                shared->undoCase = recorder_.record(undoCase);
                              } else {
                                recorder_.table().clearUndone(id);
                                LogWarning("cases: lifting the mute of case " + std::to_string(id) +
                                           " failed: the host refused it or it never reached QQ");
                              }
                              {
                                std::lock_guard lock(pendingMu_);
                                pending_.erase(id);
                              }
                              shared->state = done ? 1 : 2;
                            });
                          });
    switch (shared->state.load()) {
      case 1:
        out.state = UndoResult::State::kDone;
        out.undoCase = shared->undoCase;
        out.message =
            "已解除 " + std::to_string(c.member) + " 在群 " + std::to_string(c.group) + " 的禁言";
        break;
      case 2:
        out.state = UndoResult::State::kFailed;
        out.message = "解除禁言失败：QQ 没有执行（机器人可能不是管理员，或成员已经不在群里）";
        break;
      default:
        out.state = UndoResult::State::kPending;
        out.message = "已请求解除禁言，等 QQ 确认后记录";
        break;
    }
    return out;
  }

  if (c.action == kCasePoints) {
    // Dated as the giving, so the taking-back fades out with it.
    if (!points_.add(c.robot ? c.robot : robot, c.group, c.member, -c.amount, c.time)) {
      recorder_.table().clearUndone(id);
      out.state = UndoResult::State::kFailed;
      out.message = "警告点无法撤销：数据库写入失败";
      return out;
    }
    CaseRecord undoCase = UndoCase(c, kCaseRemovePoints, actor, byPanel);
    undoCase.amount = c.amount;
    out.undoCase = recorder_.record(std::move(undoCase));
    out.state = UndoResult::State::kDone;
    out.message = "已撤销 " + std::to_string(c.member) + " 在群 " + std::to_string(c.group) +
                  " 的 " + std::to_string(c.amount) + " 个警告点";
    return out;
  }

  // A blacklisting, alone or with the kick: the kick stays, the list entry goes.
  if (!lists_.removeFromList(AccountList::kBlacklist, c.member)) {
    recorder_.table().clearUndone(id);
    out.state = UndoResult::State::kFailed;
    out.message = std::to_string(c.member) + " 不在黑名单里，或黑名单无法修改";
    return out;
  }
  lists_.loadBlacklist();  // the list page shows the table as it now is
  out.undoCase = recorder_.record(UndoCase(c, kCaseUnblacklist, actor, byPanel));
  out.state = UndoResult::State::kDone;
  out.message = "已把 " + std::to_string(c.member) + " 移出黑名单" +
                (c.action == kCaseKickBlacklist ? "（踢出无法撤销）" : "");
  return out;
}

std::string CaseBook::CsvField(std::string_view text) {
  std::string cell(text);
  // A spreadsheet runs a cell that starts like a formula; the apostrophe
  // makes it text.
  if (!cell.empty() && (cell[0] == '=' || cell[0] == '+' || cell[0] == '-' || cell[0] == '@' ||
                        cell[0] == '\t' || cell[0] == '\r')) {
    cell.insert(0, 1, '\'');
  }
  if (cell.find_first_of(",\"\r\n") == std::string::npos) return cell;
  std::string quoted = "\"";
  for (char ch : cell) {
    if (ch == '"') quoted += '"';
    quoted += ch;
  }
  return quoted + "\"";
}

std::string CaseBook::csv(const CaseFilter& filter, size_t maxRows, bool* truncated) {
  std::string out = "\xEF\xBB\xBF";
  out += "编号,时间,群号,QQ号,动作,规则,原因,证据,执行人,数量,仅观察,已撤销,撤销的记录\r\n";
  size_t rows = 0;
  bool more = false;
  CaseCursor at;
  for (;;) {
    const CasePage p = page(filter, at, 1000);
    for (const CaseRecord& c : p.cases) {
      if (rows == maxRows) {
        more = true;
        break;
      }
      const std::string fields[] = {std::to_string(c.id),
                                    TimeText(c.time),
                                    Account(c.group),
                                    Account(c.member),
                                    c.action,
                                    c.rule,
                                    c.reason,
                                    c.evidence,
                                    ActorText(c),
                                    c.amount ? std::to_string(c.amount) : "",
                                    c.wouldHave ? "是" : "",
                                    c.undone ? "是" : "",
                                    c.undoes ? std::to_string(c.undoes) : ""};
      bool first = true;
      for (const std::string& f : fields) {
        if (!first) out += ',';
        first = false;
        out += CsvField(f);
      }
      out += "\r\n";
      ++rows;
    }
    if (more || !p.next) break;
    if (rows == maxRows) {
      more = true;
      break;
    }
    at = *p.next;
  }
  if (truncated) *truncated = more;
  return out;
}

}  // namespace bw
