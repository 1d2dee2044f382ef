// WarningTable: the owner of 警告记录, one row per warned account holding the
// number of warnings so far. Nothing else reads or writes that table.
//
// Thread-safety: all members may be called from any thread. A count goes up
// in the database in one statement (in a transaction with the insert of a
// missing row, under a lock shared with other services on PostgreSQL), so
// concurrent increments of one account, from this or another service sharing
// the database, are never lost.
#pragma once

#include <cstdint>

namespace bw {

class Database;

class WarningTable {
 public:
  explicit WarningTable(Database& db);

  // The account's warnings so far; 0 without a row or when it cannot be read.
  int32_t count(int64_t account);
  // Counts one more warning and returns the new count. A count that cannot be
  // stored is logged and still returned: the caller judges this violation by
  // it, the next one starts again from what is stored.
  int32_t addWarning(int64_t account);

 private:
  Database& db_;
};

}  // namespace bw
