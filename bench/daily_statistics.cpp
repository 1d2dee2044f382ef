// The statistics page on a busy day: a day file of N join/leave lines over 20
// managed groups, shown as the event list and as the per-group summary (three
// pattern counts per group over the whole day text).
#include <benchmark/benchmark.h>

#include <string>

#include "logs/group_log.h"
#include "logs/statistics.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "support/temp_dir.h"
#include "util/clock.h"
#include "util/files.h"

namespace {

constexpr int kGroups = 20;

struct Page {
  explicit Page(int64_t lines)
      : clock(bw::LocalTime(2026, 12, 7, 21, 5, 9)),
        groupLog(clock, dir.path() + "群数据/"),
        stats(clock, settings, lists, groupLog) {
    bw::EnsureDirectory(dir.path() + "群数据/");
    std::string text;
    for (int64_t i = 0; i < lines; ++i) {
      const std::string group = std::to_string(100000 + i % kGroups);
      const std::string member = std::to_string(20000000 + i);
      const char* word = i % 3 == 0 ? "退群" : "进群";
      const char* op = i % 6 == 0 ? "10000" : "0";
      text += "2026-12-7 08:00:00\t" + group + "\t" + word + "\t" + member + "\t" + op + "\r\n";
    }
    bw::test::WriteAll(dir.path() + "群数据/2026-12-7.txt", text);
    for (int g = 0; g < kGroups; ++g) {
      bw::ListRow row;
      row.checked = true;
      row.cells = {std::to_string(g + 1), std::to_string(100000 + g), "群", "管理员", ""};
      lists.groups.append(row);
    }
  }

  bw::test::TempDir dir;
  bw::VirtualClock clock;
  bw::Settings settings;
  bw::ListViews lists;
  bw::GroupLog groupLog;
  bw::DailyStatistics stats;
};

void BM_ShowDayEvents(benchmark::State& state) {
  Page page(state.range(0));
  for (auto _ : state) page.stats.ShowDayEvents();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ShowDayEvents)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

void BM_ShowGroupSummary(benchmark::State& state) {
  Page page(state.range(0));
  for (auto _ : state) page.stats.ShowGroupSummary();
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ShowGroupSummary)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
