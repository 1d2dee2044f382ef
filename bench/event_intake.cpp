// Event intake costs: what a host thread pays to hand over a group message, and
// how fast one worker drains its queue with a handler that does nothing.
//
//   build/bench/bench_event_intake --benchmark_repetitions=5
#include "events/event_intake.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "events/managed_groups.h"

namespace bw {
namespace {

constexpr int64_t kGroup = 123456789;
// A typical message: longer than the small-string buffer, so every enqueue
// copies it to the heap like a real one.
const char* const kMessage = "[CQ:at,qq=10000] 请问这个群的群主是谁？有人知道吗";

GroupMessageRecord Message(int32_t id) { return {id, kGroup, 987654321, kMessage, 0}; }

// Holds the worker inside the first record's handler until opened.
class Gate {
 public:
  void wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return open_; });
  }
  void open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

EventHandlers GatedHandlers(Gate& gate) {
  EventHandlers h;
  h.groupMessage = [&gate](const GroupMessageRecord& r) {
    if (r.msgId < 0) gate.wait();
    benchmark::DoNotOptimize(r.msg.data());
  };
  return h;
}

// The entry point's work while the worker is busy with an earlier record (the
// usual case: handlers wait for the database and the network).
void BM_EnqueueGroupMessage_WorkerBusy(benchmark::State& state) {
  ManagedGroups managed;
  managed.replace({111, 222, kGroup});
  Gate gate;
  EventIntake intake(managed, GatedHandlers(gate));
  intake.setRunning(true);
  intake.onGroupMessage(Message(-1));
  int32_t id = 0;
  for (auto _ : state) intake.onGroupMessage(Message(id++));
  // Past the loop the timer has stopped.
  gate.open();
  intake.waitIdle();
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnqueueGroupMessage_WorkerBusy)->Iterations(500000);

// Back-to-back messages with a no-op handler: the worker often finds the queue
// empty and ends, so some enqueues start a new worker thread. Reports the
// median and the 99th percentile of single calls as well as the mean.
void BM_EnqueueGroupMessage_IdleWorker(benchmark::State& state) {
  ManagedGroups managed;
  managed.replace({111, 222, kGroup});
  Gate gate;
  gate.open();
  EventIntake intake(managed, GatedHandlers(gate));
  intake.setRunning(true);
  std::vector<double> nanos;
  nanos.reserve(static_cast<size_t>(state.max_iterations));
  int32_t id = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    intake.onGroupMessage(Message(id++));
    nanos.push_back(
        std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
  }
  intake.waitIdle();
  std::sort(nanos.begin(), nanos.end());
  state.counters["p50_ns"] = nanos[nanos.size() / 2];
  state.counters["p99_ns"] = nanos[nanos.size() * 99 / 100];
  state.counters["workers"] = static_cast<double>(intake.workersStarted());
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EnqueueGroupMessage_IdleWorker)->Iterations(200000);

// One worker draining a full queue: the worker is held while `n` records are
// queued, then the time from release until the queue is idle is measured.
void BM_WorkerDrain(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  ManagedGroups managed;
  managed.replace({111, 222, kGroup});
  for (auto _ : state) {
    Gate gate;
    EventIntake intake(managed, GatedHandlers(gate));
    intake.setRunning(true);
    intake.onGroupMessage(Message(-1));
    for (int i = 0; i < n; ++i) intake.onGroupMessage(Message(i));
    const auto start = std::chrono::steady_clock::now();
    gate.open();
    intake.waitIdle();
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_WorkerDrain)->Arg(200000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace bw

BENCHMARK_MAIN();
