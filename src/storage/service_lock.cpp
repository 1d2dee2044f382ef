#include "storage/service_lock.h"

#include "storage/prepared.h"
#include "util/log.h"

namespace bw {

bool LockAcrossServices(Database& db, LockSpace space, int64_t key) {
  if (db.DbmsName() != "PostgreSQL") return true;
  // One 64-bit key: the space above, the account folded into the low 32 bits.
  const uint64_t folded =
      static_cast<uint32_t>(static_cast<uint64_t>(key) ^ (static_cast<uint64_t>(key) >> 32));
  const auto lockKey =
      static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(space)) << 32) | folded);
  PreparedQuery q(db, "select pg_advisory_xact_lock(?)", {lockKey});
  if (!q.ok()) {
    LogWarning("database: the lock shared with other services was not taken");
    return false;
  }
  return true;
}

}  // namespace bw
