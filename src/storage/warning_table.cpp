#include "storage/warning_table.h"

#include <cstdint>
#include <string>

#include "storage/database.h"
#include "storage/sql.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

// Reads the stored count; `haveRow` tells a stored 0 from no row.
int64_t ReadCount(Database& db, int64_t account, bool& haveRow) {
  ScopedQuery q(db, "select 警告次数 from 警告记录 where QQ号 =" + SqlQuote(account));
  haveRow = q.next();
  return haveRow ? TextToInt(q.text(0)) : 0;
}

}  // namespace

WarningTable::WarningTable(Database& db) : db_(db) {}

int32_t WarningTable::count(int64_t account) {
  bool haveRow = false;
  const int64_t stored = ReadCount(db_, account, haveRow);
  return static_cast<int32_t>(stored < 0 ? 0 : stored > INT32_MAX ? INT32_MAX : stored);
}

int32_t WarningTable::addWarning(int64_t account) {
  const std::string who = std::to_string(account);
  Transaction tx(db_);
  if (!tx.ok()) LogWarning("warning count of " + who + ": no transaction, counting without one");
  bool haveRow = false;
  const int64_t old = ReadCount(db_, account, haveRow);
  const int64_t fresh = old < 0 ? 1 : old >= INT32_MAX ? INT32_MAX : old + 1;
  // Update whenever a row exists: a row holding 0 (a count reset by hand) must
  // not get a second row beside it, which would keep the count at 1 for ever.
  const ExecResult written = haveRow
                                 ? db_.Execute("update 警告记录 set 警告次数=" + SqlQuote(fresh) +
                                               " where QQ号=" + SqlQuote(account))
                                 : db_.Execute("insert into 警告记录(QQ号,警告次数) values(" +
                                               SqlQuote(account) + "," + SqlQuote(fresh) + ")");
  if (!written.done()) {
    LogWarning("warning count of " + who + " not stored (still " + std::to_string(old) +
               "): writing 警告记录 failed");
  } else if (tx.ok() && !tx.commit()) {
    LogWarning("warning count of " + who + " not stored (still " + std::to_string(old) +
               "): the transaction did not commit");
  }
  return static_cast<int32_t>(fresh);
}

}  // namespace bw
