// The startup over a long group list grows with the list, not with its square:
// each ticked group's row is marked while its members are fetched, and a mark
// that walked the whole list made 40,000 groups cost a hundred times 4,000.
// The cost is counted, not timed (the time is the startup benchmark's): the
// rows the lists went over, and the heap allocations of the whole startup, so
// that neither a busy machine nor a fast one decides the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "core/replay_engine.h"
#include "settings/list_model.h"
#include "support/temp_dir.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"

namespace {
std::atomic<size_t> g_allocations{0};
}  // namespace

// Counts every allocation of this test program; the rest of its tests only pay
// one relaxed increment each.
void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace bw {
namespace {

std::string TickedGroups(int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += "{1}" + std::to_string(i + 1) + "----" + std::to_string(700000000 + i) + "----群" +
            std::to_string(i) + "----管理员\r\n";
  }
  return text;
}

struct StartupCost {
  size_t rowsMarked = 0;
  size_t rowsVisited = 0;  // by the group list
  size_t allocations = 0;
};

// One startup (with its member refresh) and shutdown over `groups` ticked groups.
StartupCost Startup(int groups) {
  test::TempDir home;
  const std::string data = home.path() + "data/10000/";
  EXPECT_TRUE(EnsureDirectory(data));
  EXPECT_TRUE(WriteFileAtomic(data + "群列表.txt", TickedGroups(groups)).ok());
  ReplayOptions options;
  options.runDirectory = home.path();
  options.start = LocalTime(2026, 12, 7, 21, 5, 9);
  StartupCost cost;
  const size_t before = g_allocations.load();
  {
    ReplayEngine engine(options);
    EXPECT_TRUE(engine.start());
    const ListModel& list = engine.lifecycle().lists().groups;
    // Every row went through the refresh: the recording host has no member
    // lists, so each ends marked as failed.
    const size_t visited = list.rowsVisited();
    const std::vector<ListRow> rows = list.rows();
    cost.rowsVisited = visited;
    cost.rowsMarked = std::count_if(rows.begin(), rows.end(), [](const ListRow& r) {
      return !r.cells[groupcol::kStatus].empty();
    });
    engine.shutdown();
  }
  cost.allocations = g_allocations.load() - before;
  return cost;
}

TEST(StartupScaleTest, TenTimesTheGroupsCostAtMostTenTimesTheStartup) {
  SetLogLevel(LogLevel::kError);
  const StartupCost small = Startup(4000);
  const StartupCost large = Startup(40000);
  SetLogLevel(LogLevel::kInfo);
  EXPECT_EQ(small.rowsMarked, 4000u);
  EXPECT_EQ(large.rowsMarked, 40000u);
  EXPECT_GE(small.rowsVisited, 4000u);
  EXPECT_LE(large.rowsVisited, 10 * small.rowsVisited)
      << "rows the group list went over: " << small.rowsVisited << " for 4,000 groups, "
      << large.rowsVisited << " for 40,000";
  EXPECT_LE(large.allocations, 10 * small.allocations)
      << "allocations: " << small.allocations << " for 4,000 groups, " << large.allocations
      << " for 40,000";
}

}  // namespace
}  // namespace bw
