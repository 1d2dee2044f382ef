// WarningPointTable: the owner of 警告点, the automod warning points. One row
// per giving (group, member, points, time, robot), so two events for one
// member at once are two inserts and never lose a point, whichever services
// share the database; what a member holds is the sum of the rows younger than
// the ladder's days. Taking points back is a row of negative points with the
// time of the giving it undoes, so both fade together. Nothing else reads or
// writes that table. The warnings of 警告记录 are a separate count.
//
// Thread-safety: all members may be called from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "storage/schema.h"

namespace bw {

class Database;

class WarningPointTable {
 public:
  explicit WarningPointTable(Database& db);

  // Stores one giving; false (logged) when it could not be stored.
  bool add(int64_t robot, int64_t group, int64_t member, int64_t points, int64_t time);
  // The points given to the member in the group at times after `since`
  // (never below 0); nothing when the table cannot be read.
  std::optional<int64_t> held(int64_t group, int64_t member, int64_t since);
  // Removes rows given at or before `before` (they no longer count anywhere).
  bool prune(int64_t before);

 private:
  Database& db_;
};

std::vector<std::string> WarningPointTableSchema(SqlDialect dialect);
inline constexpr const char* kWarningPointTableName = "警告点";

}  // namespace bw
