// storage_worker: one service's storage, as the program deploys and uses it,
// for the tests that run several services on one PostgreSQL database.
//
//   storage_worker CONNECTION START_AT_MS ACCOUNT COUNT ROBOT OTHER_ROBOT
//
// Waits until START_AT_MS (Unix milliseconds) so that several workers deploy
// at the same moment, deploys the schema and connects (as `run --postgres`
// does), blacklists the account ROBOT*10 as robot ROBOT, then counts COUNT
// warnings of ACCOUNT. Then looks for OTHER_ROBOT's blacklisting of
// OTHER_ROBOT*10 (for up to 20 s) with the shared blacklist on, and once more
// with it off. Prints "deployed", "counted LAST" (the count the last warning
// was judged by), "shared: sees the other" or "shared: misses the other",
// and "own: sees the other" or "own: misses the other"; exit 0 when every
// step worked and the counts it saw only grew, 1 otherwise.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "host/identity.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/account_list_table.h"
#include "storage/database.h"
#include "storage/schema.h"
#include "storage/warning_table.h"

int main(int argc, char** argv) {
  if (argc != 7) {
    std::fprintf(stderr,
                 "usage: storage_worker CONNECTION START_AT_MS ACCOUNT COUNT ROBOT OTHER_ROBOT\n");
    return 2;
  }
  const int64_t robot = std::strtoll(argv[5], nullptr, 10);
  const int64_t other = std::strtoll(argv[6], nullptr, 10);
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

  bw::Identity identity;
  identity.setLoginAccount(std::to_string(robot));
  bw::Settings settings;
  bw::AccountListTable lists(db, &identity, &settings);
  if (!lists.add(bw::AccountList::kBlacklist, robot * 10, "黑'名单", "1700000000").done()) {
    std::printf("blacklisting failed\n");
    return 1;
  }

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

  settings.setChecked(bw::opt::kSharedBlacklist, true);
  bool seen = false;
  for (int i = 0; i < 400 && !seen; ++i) {
    seen = lists.contains(bw::AccountList::kBlacklist, other * 10);
    if (!seen) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::printf("shared: %s the other\n", seen ? "sees" : "misses");
  settings.setChecked(bw::opt::kSharedBlacklist, false);
  std::printf("own: %s the other\n",
              lists.contains(bw::AccountList::kBlacklist, other * 10) ? "sees" : "misses");
  return lists.contains(bw::AccountList::kBlacklist, robot * 10) ? 0 : 1;
}
