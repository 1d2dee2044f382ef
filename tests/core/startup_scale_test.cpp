// The startup over a long group list grows with the list, not with its square:
// each ticked group's row is marked while its members are fetched, and a mark
// that walks the whole list made 40,000 groups cost a hundred times 4,000.
// Compared in CPU time of the process (best of a few runs), so that a busy
// machine does not decide the test.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "core/replay_engine.h"
#include "settings/list_model.h"
#include "support/temp_dir.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace {

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

std::string TickedGroups(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "{1}" + std::to_string(i + 1) + "----" + std::to_string(700000000 + i) + "----群" +
            std::to_string(i) + "----管理员\r\n";
  }
  return text;
}

// The CPU seconds of one startup (with its member refresh) and shutdown.
double StartupSeconds(int groups, size_t& rowsMarked) {
  test::TempDir home;
  const std::string data = home.path() + "data/10000/";
  EXPECT_TRUE(EnsureDirectory(data));
  EXPECT_TRUE(WriteFileAtomic(data + "群列表.txt", TickedGroups(groups)).ok());
  ReplayOptions options;
  options.runDirectory = home.path();
  options.start = LocalTime(2026, 12, 7, 21, 5, 9);
  const double before = ProcessCpuSeconds();
  {
    ReplayEngine engine(options);
    EXPECT_TRUE(engine.start());
    // Every row went through the refresh: the recording host has no member
    // lists, so each ends marked as failed.
    const std::vector<ListRow> rows = engine.lifecycle().lists().groups.rows();
    rowsMarked = std::count_if(rows.begin(), rows.end(), [](const ListRow& r) {
      return !r.cells[groupcol::kStatus].empty();
    });
    engine.shutdown();
  }
  return ProcessCpuSeconds() - before;
}

TEST(StartupScaleTest, TenTimesTheGroupsCostAtMostTenTimesTheStartup) {
  SetLogLevel(LogLevel::kError);
  double small = 1e9;
  double large = 1e9;
  for (int run = 0; run < 3; ++run) {
    size_t marked = 0;
    small = std::min(small, StartupSeconds(4000, marked));
    ASSERT_EQ(marked, 4000u);
    large = std::min(large, StartupSeconds(40000, marked));
    ASSERT_EQ(marked, 40000u);
    if (large <= 10 * small || large > 30 * small) break;  // clearly one or the other
  }
  SetLogLevel(LogLevel::kInfo);
  EXPECT_LE(large, 10 * small) << "4,000 groups: " << small << " s, 40,000 groups: " << large
                               << " s of CPU";
}

}  // namespace
}  // namespace bw
