#include "storage/case_table.h"

#ifdef _WIN32
#include <windows.h>  // the ODBC headers need its types
#endif
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "storage/database.h"
#include "storage/prepared.h"
#include "storage/service_lock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

// Column order of every select, read back by position.
constexpr const char* kColumns =
    "编号,时间,机器人,群号,QQ号,动作,规则,原因,证据,执行人,数量,仅观察,已撤销,撤销编号";

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The longest prefix of at most `n` bytes that ends on a character boundary.
std::string_view HeadBytes(std::string_view s, size_t n) {
  if (s.size() <= n) return s;
  size_t end = n;
  while (end > 0 && IsContinuation(static_cast<unsigned char>(s[end]))) --end;
  return s.substr(0, end);
}

// The longest suffix of at most `n` bytes that starts on a character boundary.
std::string_view TailBytes(std::string_view s, size_t n) {
  if (s.size() <= n) return s;
  size_t start = s.size() - n;
  while (start < s.size() && IsContinuation(static_cast<unsigned char>(s[start]))) ++start;
  return s.substr(start);
}

// Access (Jet) has no LIMIT; it takes "select top n". Asked of the driver
// once, on the ODBC connection itself (no failing statement in the log).
bool IsAccess(Database& db) {
  SQLHDBC dbc = static_cast<SQLHDBC>(db.GetConnectionHandle());
  if (dbc == SQL_NULL_HDBC) return false;
  std::string name;
#ifdef _WIN32
  SQLWCHAR buf[64] = {};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetInfoW(dbc, SQL_DBMS_NAME, buf, sizeof buf, &len))) return false;
  for (size_t i = 0; i < 63 && buf[i]; ++i) name += static_cast<char>(buf[i] < 128 ? buf[i] : '?');
#else
  SQLCHAR buf[64] = {};
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DBMS_NAME, buf, sizeof buf, &len))) return false;
  name = reinterpret_cast<const char*>(buf);
#endif
  std::transform(name.begin(), name.end(), name.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return name.find("ACCESS") != std::string::npos;
}

CaseRecord ReadCase(PreparedQuery& q) {
  CaseRecord c;
  c.id = q.integer(0);
  c.time = q.integer(1);
  c.robot = q.integer(2);
  c.group = q.integer(3);
  c.member = q.integer(4);
  c.action = q.text(5);
  c.rule = q.text(6);
  c.reason = q.text(7);
  c.evidence = q.text(8);
  c.actor = q.integer(9);
  c.amount = q.integer(10);
  c.wouldHave = q.integer(11) != 0;
  c.undone = q.integer(12) != 0;
  c.undoes = q.integer(13);
  return c;
}

// The where clause of a listing, its values bound in `values` (views of the
// filter's texts: the filter outlives the query). Made of fixed pieces, so a
// few statement texts serve every listing.
std::string Where(const CaseFilter& f, const CaseCursor& after, std::vector<SqlValue>& values) {
  std::string sql;
  auto term = [&](const char* text, SqlValue v) {
    sql += sql.empty() ? " where " : " and ";
    sql += text;
    values.push_back(v);
  };
  if (f.robot) term("机器人=?", f.robot);
  if (f.group) term("群号=?", f.group);
  if (f.member) term("QQ号=?", f.member);
  if (!f.rule.empty()) term("规则=?", SqlValue(f.rule));
  if (!f.action.empty()) term("动作=?", SqlValue(f.action));
  if (f.from) term("时间>=?", f.from);
  // One upper bound on 时间, the tighter of the range's end and the cursor:
  // the index range then starts where the page starts (SQLite seeks on one
  // bound only, and may pick the looser one).
  int64_t upper = f.to;
  if (!after.atStart() && (upper == 0 || after.time < upper)) upper = after.time;
  if (upper) term("时间<=?", upper);
  if (!after.atStart()) {
    // Ties on 时间 are settled by 编号.
    term("(时间<? or 编号<?)", after.time);
    values.push_back(after.id);
  }
  return sql;
}

}  // namespace

CaseTable::CaseTable(Database& db) : db_(db) {}

std::string CaseTable::Excerpt(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return std::string(HeadBytes(text, maxBytes));
  static constexpr std::string_view kJoin = " … ";
  if (maxBytes <= kJoin.size() + 2) return std::string(HeadBytes(text, maxBytes));
  const size_t room = maxBytes - kJoin.size();
  const size_t headRoom = room - room / 2;
  std::string out(HeadBytes(text, headRoom));
  out += kJoin;
  out += TailBytes(text, room / 2);
  return out;
}

int64_t CaseTable::add(CaseRecord c) {
  c.evidence = Excerpt(c.evidence);
  c.rule = std::string(HeadBytes(c.rule, kCaseRuleBytes));
  c.reason = Excerpt(c.reason, kCaseReasonBytes);
  const std::string what =
      "case " + c.action + " of " + std::to_string(c.member) + " in " + std::to_string(c.group);
  // A second service on the same database would read the same largest id
  // and lose its insert to the primary key, try after try while both record
  // at full speed: the lock they share keeps the read and the insert of one
  // together. The retry is for a row written by something that takes no lock.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Transaction tx(db_);
    if (!tx.ok()) {
      LogWarning(what + " not stored: no transaction");
      return 0;
    }
    if (!LockAcrossServices(db_, LockSpace::kCaseNumber, 0)) continue;
    int64_t id = 0;
    {
      PreparedQuery q(db_, "select max(编号) from 处罚记录");
      if (!q.ok()) {
        LogWarning(what + " not stored: 处罚记录 cannot be read");
        return 0;
      }
      id = (q.next() ? q.integer(0) : 0) + 1;
    }
    const ExecResult written =
        RunPrepared(db_,
                    "insert into 处罚记录(编号,时间,机器人,群号,QQ号,动作,规则,原因,证据,执行人,"
                    "数量,仅观察,已撤销,撤销编号) values(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
                    {id, c.time, c.robot, c.group, c.member, c.action, c.rule, c.reason, c.evidence,
                     c.actor, c.amount, c.wouldHave ? 1 : 0, c.undone ? 1 : 0, c.undoes});
    if (written.done() && tx.commit()) return id;
  }
  LogWarning(what + " not stored: writing 处罚记录 failed");
  return 0;
}

CasePage CaseTable::page(const CaseFilter& filter, const CaseCursor& after, int limit) {
  limit = std::clamp(limit, 1, 1000);
  // One row more than asked tells whether another page follows. Access has
  // no LIMIT and takes no parameter in its TOP: the number is written in.
  const bool access = IsAccess(db_);
  std::vector<SqlValue> values;
  std::string sql =
      std::string("select ") + (access ? "top " + std::to_string(limit + 1) + " " : "") + kColumns +
      " from 处罚记录" + Where(filter, after, values) + " order by 时间 desc, 编号 desc";
  if (!access) {
    sql += " limit ?";
    values.push_back(limit + 1);
  }
  CasePage out;
  PreparedQuery q(db_, sql, values);
  if (!q.ok()) {
    LogWarning("cases: 处罚记录 cannot be read");
    return out;
  }
  while (q.next()) {
    if (static_cast<int>(out.cases.size()) == limit) {
      const CaseRecord& last = out.cases.back();
      out.next = CaseCursor{last.time, last.id};
      break;
    }
    out.cases.push_back(ReadCase(q));
  }
  return out;
}

std::optional<CaseRecord> CaseTable::get(int64_t id) {
  PreparedQuery q(db_, std::string("select ") + kColumns + " from 处罚记录 where 编号=?", {id});
  if (!q.next()) return std::nullopt;
  return ReadCase(q);
}

bool CaseTable::markUndone(int64_t id) {
  // Only the call that changes 0 to 1 wins: two administrators undoing one
  // case at once record one undo.
  int64_t changed = 0;
  const ExecResult r =
      RunPrepared(db_, "update 处罚记录 set 已撤销=1 where 编号=? and 已撤销=0", {id}, &changed);
  return r.done() && changed == 1;
}

bool CaseTable::clearUndone(int64_t id) {
  int64_t changed = 0;
  const ExecResult r =
      RunPrepared(db_, "update 处罚记录 set 已撤销=0 where 编号=? and 已撤销=1", {id}, &changed);
  return r.done() && changed == 1;
}

std::vector<std::string> CaseTableSchema(SqlDialect dialect) {
  const bool access = dialect == SqlDialect::kAccess;
  const std::string number = access                             ? "DOUBLE"
                             : dialect == SqlDialect::kPostgres ? "BIGINT"
                                                                : "INTEGER";
  const std::string zero = access ? "" : " DEFAULT 0";
  const std::string shortText = access ? "TEXT(255)" : "TEXT";
  const std::string longText = access ? "MEMO" : "TEXT";
  const std::string flag = (access ? std::string("INTEGER") : number) + zero;
  std::vector<std::string> out;
  out.push_back(std::string(access ? "CREATE TABLE " : "CREATE TABLE IF NOT EXISTS ") +
                "处罚记录 (编号 " + (access ? "INTEGER" : number) + " PRIMARY KEY, 时间 " + number +
                " NOT NULL, 机器人 " + number + zero + ", 群号 " + number + zero + ", QQ号 " +
                number + zero + ", 动作 " + shortText + ", 规则 " + shortText + ", 原因 " +
                longText + ", 证据 " + longText + ", 执行人 " + number + zero + ", 数量 " + number +
                zero + ", 仅观察 " + flag + ", 已撤销 " + flag + ", 撤销编号 " + number + zero +
                ")");
  // Newest first by (时间, 编号), alone or after one equality filter: each
  // filter's page is one index range read however many cases there are.
  const char* indexes[][2] = {
      {"ix_处罚记录_时间", "时间,编号"},      {"ix_处罚记录_群号", "群号,时间,编号"},
      {"ix_处罚记录_QQ号", "QQ号,时间,编号"}, {"ix_处罚记录_规则", "规则,时间,编号"},
      {"ix_处罚记录_动作", "动作,时间,编号"}, {"ix_处罚记录_机器人", "机器人,时间,编号"}};
  for (const auto& ix : indexes) {
    out.push_back(std::string(access ? "CREATE INDEX " : "CREATE INDEX IF NOT EXISTS ") + ix[0] +
                  " ON 处罚记录 (" + ix[1] + ")");
  }
  return out;
}

}  // namespace bw
