#include "storage/warning_point_table.h"

#include <algorithm>

#include "storage/database.h"
#include "storage/prepared.h"
#include "util/log.h"

namespace bw {

WarningPointTable::WarningPointTable(Database& db) : db_(db) {}

bool WarningPointTable::add(int64_t robot, int64_t group, int64_t member, int64_t points,
                            int64_t time) {
  const ExecResult r =
      RunPrepared(db_, "insert into 警告点(群号,QQ号,点数,时间,机器人) values(?,?,?,?,?)",
                  {group, member, points, time, robot});
  if (!r.done()) {
    LogWarning("警告点: " + std::to_string(points) + " points of " + std::to_string(member) +
               " in " + std::to_string(group) + " not stored");
    return false;
  }
  return true;
}

std::optional<int64_t> WarningPointTable::held(int64_t group, int64_t member, int64_t since) {
  PreparedQuery q(db_, "select sum(点数) from 警告点 where 群号=? and QQ号=? and 时间>?",
                  {group, member, since});
  if (!q.ok()) {
    LogWarning("警告点: cannot be read");
    return std::nullopt;
  }
  // No row at all sums to NULL, read as 0.
  return q.next() ? std::max<int64_t>(q.integer(0), 0) : 0;
}

bool WarningPointTable::prune(int64_t before) {
  return !RunPrepared(db_, "delete from 警告点 where 时间<=?", {before}).failed();
}

std::vector<std::string> WarningPointTableSchema(SqlDialect dialect) {
  const bool access = dialect == SqlDialect::kAccess;
  const std::string number = access                             ? "DOUBLE"
                             : dialect == SqlDialect::kPostgres ? "BIGINT"
                                                                : "INTEGER";
  return {std::string(access ? "CREATE TABLE " : "CREATE TABLE IF NOT EXISTS ") + "警告点 (群号 " +
              number + " NOT NULL, QQ号 " + number + " NOT NULL, 点数 " + number +
              " NOT NULL, 时间 " + number + " NOT NULL, 机器人 " + number + ")",
          // held() reads one member's rows of one group from a time on.
          std::string(access ? "CREATE INDEX " : "CREATE INDEX IF NOT EXISTS ") +
              "ix_警告点_群号 ON 警告点 (群号,QQ号,时间)",
          std::string(access ? "CREATE INDEX " : "CREATE INDEX IF NOT EXISTS ") +
              "ix_警告点_时间 ON 警告点 (时间)"};
}

}  // namespace bw
