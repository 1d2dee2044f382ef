// Start-up restore of a large group list: 群列表.txt is loaded, and the rebuild
// of the derived lists writes "群设置.ini" (one key per group) and saves
// 群列表.txt again. Every other group is ticked; "人数限制.ini" holds limits for
// 100 of them. 群设置.ini already holds every key (as on every start but the
// first). The time should grow linearly with the rows.
//
// Run: build/bench/bench_settings_files
#include <benchmark/benchmark.h>

#include <string>

#include "settings/list_model.h"
#include "storage/ini_file.h"
#include "storage/settings_store.h"
#include "support/robot_fixture.h"
#include "util/files.h"
#include "util/log.h"

namespace {

constexpr int64_t kFirstGroup = 600000000;

std::string GroupListText(int rows) {
  std::string text;
  for (int i = 0; i < rows; ++i) {
    text += i % 2 == 0 ? "{1}" : "{0}";
    text += std::to_string(i + 1) + "----" + std::to_string(kFirstGroup + i) + "----群" +
            std::to_string(i) + "----管理员\r\n";
  }
  return text;
}

void BM_StartupGroupList(benchmark::State& state) {
  bw::SetLogLevel(bw::LogLevel::kWarning);
  const int rows = static_cast<int>(state.range(0));
  bw::test::RobotFixture f;
  bw::SettingsStore store{f.settings, f.lists, f.managedGroups, f.runLog, f.identity, f.clock};
  const std::string list = GroupListText(rows);
  bw::ProfileEntries limits;
  for (int i = 0; i < 200; i += 2) limits.emplace_back(std::to_string(kFirstGroup + i), "900");
  bw::WriteProfileStrings(store.path("人数限制.ini"), "人数", limits);
  bw::WriteFileAtomic(store.path("群列表.txt"), list);
  store.LoadGroupList();
  store.RebuildGroupDerivedLists();  // 群设置.ini as a later start finds it
  for (auto _ : state) {
    state.PauseTiming();
    bw::WriteFileAtomic(store.path("群列表.txt"), list);
    state.ResumeTiming();
    store.LoadGroupList();
    store.RebuildGroupDerivedLists();
  }
  if (f.managedGroups.size() != static_cast<size_t>((rows + 1) / 2))
    state.SkipWithError("not every ticked group is managed");
  state.counters["rows_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()) * rows,
                                                    benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StartupGroupList)
    ->Arg(20000)
    ->Arg(40000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
