#include "storage/warning_table.h"

#include <cstdint>
#include <string>

#include "storage/database.h"
#include "storage/prepared.h"
#include "storage/service_lock.h"
#include "util/log.h"
#include "util/text.h"

namespace bw {

namespace {

// Reads the stored count; `haveRow` tells a stored 0 from no row.
int64_t ReadCount(Database& db, int64_t account, bool& haveRow) {
  PreparedQuery q(db, "select 警告次数 from 警告记录 where QQ号=?", {std::to_string(account)});
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
  // Another service on the same database may count this account at the same
  // time: the increment happens in the database, and the row that may be
  // missing is inserted under a lock they share.
  if (tx.ok()) LockAcrossServices(db_, LockSpace::kWarningCount, account);
  // A row holding 0 (a count reset by hand) is updated, never doubled, or the
  // count would stay at 1 for ever.
  ExecResult written = RunPrepared(db_,
                                   "update 警告记录 set 警告次数 = case when 警告次数 is null or "
                                   "警告次数 < 0 then 1 when 警告次数 >= 2147483647 then "
                                   "2147483647 else 警告次数 + 1 end where QQ号=?",
                                   {who});
  if (written.noRow()) {
    written = RunPrepared(db_, "insert into 警告记录(QQ号,警告次数) values(?,1)", {who});
  }
  bool haveRow = false;
  int64_t stored = 0;
  if (written.done()) stored = ReadCount(db_, account, haveRow);
  if (!written.done() || !haveRow) {
    // Judged by one more than what is stored (as far as it can still be read).
    const int64_t old = ReadCount(db_, account, haveRow);
    const int64_t judged = old < 0 ? 1 : old >= INT32_MAX ? INT32_MAX : old + 1;
    LogWarning("warning count of " + who + " not stored (still " + std::to_string(old) +
               "): writing 警告记录 failed");
    return static_cast<int32_t>(judged);
  }
  if (tx.ok() && !tx.commit()) {
    LogWarning("warning count of " + who + " not stored: the transaction did not commit");
    return static_cast<int32_t>(stored < 1 ? 1 : stored > INT32_MAX ? INT32_MAX : stored);
  }
  // What the database holds now: another service's warnings count too.
  return static_cast<int32_t>(stored < 1 ? 1 : stored > INT32_MAX ? INT32_MAX : stored);
}

}  // namespace bw
