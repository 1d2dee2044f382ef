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
#include "storage/sql.h"
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

CaseRecord ReadCase(ScopedQuery& q) {
  CaseRecord c;
  c.id = q.integer64(0);
  c.time = q.integer64(1);
  c.robot = q.integer64(2);
  c.group = q.integer64(3);
  c.member = q.integer64(4);
  c.action = q.text(5);
  c.rule = q.text(6);
  c.reason = q.text(7);
  c.evidence = q.text(8);
  c.actor = q.integer64(9);
  c.amount = q.integer64(10);
  c.wouldHave = q.integer64(11) != 0;
  c.undone = q.integer64(12) != 0;
  c.undoes = q.integer64(13);
  return c;
}

std::string Where(const CaseFilter& f, const CaseCursor& after) {
  std::vector<std::string> terms;
  if (f.robot) terms.push_back("机器人=" + SqlQuote(f.robot));
  if (f.group) terms.push_back("群号=" + SqlQuote(f.group));
  if (f.member) terms.push_back("QQ号=" + SqlQuote(f.member));
  if (!f.rule.empty()) terms.push_back("规则=" + SqlQuote(f.rule));
  if (!f.action.empty()) terms.push_back("动作=" + SqlQuote(f.action));
  if (f.from) terms.push_back("时间>=" + SqlQuote(f.from));
  if (f.to) terms.push_back("时间<=" + SqlQuote(f.to));
  if (!after.atStart()) {
    // The range on 时间 lets the index seek; the OR only settles ties.
    terms.push_back("时间<=" + SqlQuote(after.time));
    terms.push_back("(时间<" + SqlQuote(after.time) + " or 编号<" + SqlQuote(after.id) + ")");
  }
  std::string sql;
  for (size_t i = 0; i < terms.size(); ++i) sql += (i ? " and " : " where ") + terms[i];
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
  // A second service on the same database may take the id between our read
  // and our insert; the primary key refuses the duplicate and the next try
  // reads the new largest id.
  for (int attempt = 0; attempt < 5; ++attempt) {
    Transaction tx(db_);
    if (!tx.ok()) {
      LogWarning(what + " not stored: no transaction");
      return 0;
    }
    int64_t id = 0;
    {
      ScopedQuery q(db_, "select max(编号) from 处罚记录");
      if (!q.ok()) {
        LogWarning(what + " not stored: 处罚记录 cannot be read");
        return 0;
      }
      id = (q.next() ? q.integer64(0) : 0) + 1;
    }
    const ExecResult written = db_.Execute(
        std::string("insert into 处罚记录(") + kColumns + ") values(" + SqlQuote(id) + "," +
        SqlQuote(c.time) + "," + SqlQuote(c.robot) + "," + SqlQuote(c.group) + "," +
        SqlQuote(c.member) + "," + SqlQuote(c.action) + "," + SqlQuote(c.rule) + "," +
        SqlQuote(c.reason) + "," + SqlQuote(c.evidence) + "," + SqlQuote(c.actor) + "," +
        SqlQuote(c.amount) + "," + SqlQuote(c.wouldHave ? 1 : 0) + "," +
        SqlQuote(c.undone ? 1 : 0) + "," + SqlQuote(c.undoes) + ")");
    if (written.done() && tx.commit()) return id;
  }
  LogWarning(what + " not stored: writing 处罚记录 failed");
  return 0;
}

CasePage CaseTable::page(const CaseFilter& filter, const CaseCursor& after, int limit) {
  limit = std::clamp(limit, 1, 1000);
  // One row more than asked tells whether another page follows.
  const std::string n = std::to_string(limit + 1);
  const bool access = IsAccess(db_);
  std::string sql = std::string("select ") + (access ? "top " + n + " " : "") + kColumns +
                    " from 处罚记录" + Where(filter, after) + " order by 时间 desc, 编号 desc";
  if (!access) sql += " limit " + n;
  CasePage out;
  ScopedQuery q(db_, sql, 0);
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
  ScopedQuery q(db_,
                std::string("select ") + kColumns + " from 处罚记录 where 编号=" + SqlQuote(id), 0);
  if (!q.next()) return std::nullopt;
  return ReadCase(q);
}

bool CaseTable::markUndone(int64_t id) {
  // Only the call that changes 0 to 1 wins: two administrators undoing one
  // case at once record one undo.
  int64_t changed = 0;
  const ExecResult r = db_.Execute(
      "update 处罚记录 set 已撤销=1 where 编号=" + SqlQuote(id) + " and 已撤销=0", &changed);
  return r.done() && changed == 1;
}

bool CaseTable::clearUndone(int64_t id) {
  int64_t changed = 0;
  const ExecResult r = db_.Execute(
      "update 处罚记录 set 已撤销=0 where 编号=" + SqlQuote(id) + " and 已撤销=1", &changed);
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
