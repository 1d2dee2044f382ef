// storage_worker: one service's storage, as the program deploys and uses it,
// for the tests that run several services on one PostgreSQL database.
//
//   storage_worker CONNECTION START_AT_MS ACCOUNT COUNT
//
// Waits until START_AT_MS (Unix milliseconds) so that several workers deploy
// at the same moment, deploys the schema and connects (as `run --postgres`
// does), then counts COUNT warnings of ACCOUNT. Prints "deployed" and
// "counted LAST" (the count the last warning was judged by); exit 0 when
// every step worked and the counts it saw only grew, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "storage/database.h"
#include "storage/schema.h"
#include "storage/warning_table.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: storage_worker CONNECTION START_AT_MS ACCOUNT COUNT\n");
    return 2;
  }
  const std::string connection = argv[1];
  const auto startAt = std::chrono::system_clock::time_point(
      std::chrono::milliseconds(std::strtoll(argv[2], nullptr, 10)));
  const int64_t account = std::strtoll(argv[3], nullptr, 10);
  const int count = std::atoi(argv[4]);

  std::this_thread::sleep_until(startAt);
  bw::Database db;
  if (!bw::DeployAndConnectPostgres(db, connection)) {
    std::printf("deployment failed\n");
    return 1;
  }
  std::printf("deployed\n");
  std::fflush(stdout);

  bw::WarningTable warnings(db);
  int32_t last = 0;
  for (int i = 0; i < count; ++i) {
    const int32_t judged = warnings.addWarning(account);
    if (judged <= last) {
      std::printf("count went from %d to %d\n", last, judged);
      return 1;
    }
    last = judged;
  }
  std::printf("counted %d\n", last);
  return 0;
}
