// The whole startup of the robot over a group list of N ticked groups: the
// settings and lists loaded, the database deployed, the member refresh run
// over every row (the recording host has no member lists, so each fails at
// once) and the shutdown's saves. It should grow linearly with N; 100,000
// groups should take well under a second.
//
// Run: build/bench/bench_startup
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "core/replay_engine.h"
#include "support/temp_dir.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"

namespace {

std::string TickedGroups(int64_t count) {
  std::string text;
  for (int64_t i = 0; i < count; ++i) {
    text += "{1}" + std::to_string(i + 1) + "----" + std::to_string(700000000 + i) + "----群" +
            std::to_string(i) + "----管理员\r\n";
  }
  return text;
}

void BM_StartupWithGroupList(benchmark::State& state) {
  bw::SetLogLevel(bw::LogLevel::kError);
  const std::string list = TickedGroups(state.range(0));
  for (auto _ : state) {
    state.PauseTiming();
    auto home = std::make_unique<bw::test::TempDir>();
    const std::string data = home->path() + "data/10000/";
    bw::EnsureDirectory(data);
    bw::WriteFileAtomic(data + "群列表.txt", list);
    bw::ReplayOptions options;
    options.runDirectory = home->path();
    options.start = bw::LocalTime(2026, 12, 7, 21, 5, 9);
    state.ResumeTiming();
    {
      bw::ReplayEngine engine(options);
      if (!engine.start()) state.SkipWithError("the startup did not run");
      engine.shutdown();
    }
    state.PauseTiming();  // the temporary directory's removal is not the robot's
    home.reset();
    state.ResumeTiming();
  }
  state.counters["groups_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations() * state.range(0)), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StartupWithGroupList)
    ->Arg(4000)
    ->Arg(40000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
