// Locks that several services on one database honour. On PostgreSQL, which
// several services may share, a transaction-scoped advisory lock; SQLite
// serialises writers across processes by itself and Access serves one
// process, so there these do nothing.
//
// Use inside a Transaction, before the statements that must not interleave
// with another service's (an insert of a row that may be missing, the schema
// deployment); the lock ends with the transaction.
#pragma once

#include <cstdint>

#include "storage/database.h"

namespace bw {

// What the lock guards; the values are part of what services on one database
// agree on, so they never change.
enum class LockSpace : int32_t {
  kSchema = 0x42570001,
  kWarningCount = 0x42570002,
  kInviteCount = 0x42570003,
  kCaseNumber = 0x42570004,
  kGroupMembers = 0x42570005,
};

// Waits for the lock on `key` in `space`; false (logged) when it could not be taken.
bool LockAcrossServices(Database& db, LockSpace space, int64_t key);

}  // namespace bw
