// VerificationTable: the owner of 入群验证, one row per newcomer who has been
// asked a question and has not answered it yet: the question, the answers it
// accepts, the deadline and the wrong answers so far. Rows belong to the robot
// account that asked (several services may share one PostgreSQL database), so
// every statement is limited to that account's rows.
//
// Thread-safety: all members may be called from any thread (the Database
// serialises them); a wrong answer is counted in the database itself, so two
// answers read at once are both counted.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bw {

class Database;
class Identity;

struct PendingVerification {
  int64_t group = 0;
  int64_t member = 0;
  std::string question;
  std::vector<std::string> answers;  // each as the owner wrote it
  int64_t joined = 0;                // Unix seconds
  int64_t deadline = 0;              // Unix seconds
  int32_t wrong = 0;                 // wrong answers so far
};

// What one row's text columns hold at most (Access keeps 255 characters); the
// question and the answers are cut to fit, on character boundaries.
inline constexpr size_t kVerificationTextBytes = 250;

class VerificationTable {
 public:
  VerificationTable(Database& db, const Identity& identity);

  // Stores a newcomer's question, replacing an older row of the same member
  // and group. False (logged) when it could not be stored.
  bool add(const PendingVerification& pending);
  // Drops the member's row; false when there was none or the delete failed.
  bool remove(int64_t group, int64_t member);
  // Counts one more wrong answer and returns the stored count; -1 (logged)
  // when the row is gone or the count could not be written.
  int32_t addWrong(int64_t group, int64_t member);
  // Every row of this robot, earliest deadline first. Empty when the query fails.
  std::vector<PendingVerification> all();

 private:
  std::string robot() const;

  Database& db_;
  const Identity& identity_;
};

}  // namespace bw
