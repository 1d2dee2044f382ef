// Automatic moderation on its own: one clean message through the evaluator
// with 20 rules, 2,000 words and 50 regular expressions; the windows'
// memory with 100,000 active members; a 100,000-word list read and compiled.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <random>
#include <string>

#include "automod/evaluator.h"
#include "automod/rule.h"
#include "automod/rule_file.h"

namespace {

using namespace bw::automod;

std::string RandomWord(std::mt19937& rng) {
  std::string word;
  const size_t chars = 2 + rng() % 3;
  for (size_t i = 0; i < chars; ++i) {
    const char32_t cp = 0x4E00 + rng() % (0x9FA5 - 0x4E00);
    word += static_cast<char>(0xE0 | (cp >> 12));
    word += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    word += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return word;
}

std::string CleanMessage() {
  std::string msg =
      "今天天气不错，我们下午三点去公园散步吧，顺便买点水果回来。Bring the kids too! ";
  while (msg.size() < 200) msg += "好的";
  return msg;
}

RuleSet Words(int rules, int wordsPerRule, int regexes) {
  std::mt19937 rng(5);
  RuleSet set;
  const std::string clean = CleanMessage();
  for (int i = 0; i < rules; ++i) {
    Rule r;
    r.id = "r" + std::to_string(i);
    r.name = r.id;
    r.trigger.kind = TriggerKind::kWords;
    while (static_cast<int>(r.trigger.words.size()) < wordsPerRule) {
      std::string w = RandomWord(rng);
      if (clean.find(w) == std::string::npos) r.trigger.words.push_back(Word{std::move(w)});
    }
    for (int x = i; x < regexes; x += rules)
      r.trigger.words.push_back(Word{
          "qq" + std::to_string(x) + "\\d{4,}|加.{0,3}群" + std::to_string(x), WordMode::kRegex});
    r.actions.push_back(Action{ActionKind::kRecall});
    set.rules.push_back(std::move(r));
  }
  return set;
}

void BM_EvaluateCleanMessage(benchmark::State& state) {
  Evaluator e(Words(20, 100, 50));
  const std::string text = CleanMessage();
  Message m{.group = 1, .member = 2, .msgId = 3, .text = text, .timeMs = 1'700'000'000'000};
  for (auto _ : state) {
    if (!e.evaluate(m, {}, nullptr).empty()) state.SkipWithError("the clean message hit");
    m.timeMs += 1000;
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EvaluateCleanMessage);

// 100,000 members each with ten messages inside the windows of a flood rule
// (10 in 10 s) and a repeat rule (5 in 60 s): the counter is the bytes held.
void BM_WindowMemory100kMembers(benchmark::State& state) {
  RuleSet set;
  Rule flood{.id = "f", .name = "f"};
  flood.trigger = Trigger{.kind = TriggerKind::kFlood, .count = 10, .seconds = 10};
  flood.actions.push_back(Action{ActionKind::kRecall});
  Rule repeat{.id = "r", .name = "r"};
  repeat.trigger = Trigger{.kind = TriggerKind::kRepeat, .count = 5, .seconds = 60};
  repeat.actions.push_back(Action{ActionKind::kRecall});
  set.rules = {flood, repeat};
  for (auto _ : state) {
    const size_t heapBefore = mallinfo2().uordblks;
    Evaluator e(set);
    int64_t ms = 1'700'000'000'000;
    for (int round = 0; round < 10; ++round) {
      for (int64_t member = 0; member < 100'000; ++member) {
        const std::string text = "第" + std::to_string(round) + "句";
        Message m{
            .group = 100 + member % 50, .member = 1000000 + member, .text = text, .timeMs = ms};
        e.evaluate(m, {}, nullptr);
        ms += 0;  // all within one second: every member stays active
      }
      ms += 500;
    }
    if (e.windowMembers() != 100'000) state.SkipWithError("members were forgotten too early");
    state.counters["members"] = static_cast<double>(e.windowMembers());
    state.counters["MB"] = static_cast<double>(e.windowBytes()) / (1024.0 * 1024.0);
    state.counters["bytes_per_member"] = static_cast<double>(e.windowBytes()) / 100'000.0;
    // What the allocator really handed out, overheads included.
    state.counters["heap_MB"] =
        static_cast<double>(mallinfo2().uordblks - heapBefore) / (1024.0 * 1024.0);
  }
}
BENCHMARK(BM_WindowMemory100kMembers)->Iterations(1)->Unit(benchmark::kMillisecond);

// A 100,000-word list as the rule file holds it: read (JSON, validation) and
// compiled for the scan.
void BM_Load100kWords(benchmark::State& state) {
  const std::string text = WriteRuleText(Words(1, 100'000, 0));
  for (auto _ : state) {
    LoadedRules loaded = ReadRuleText(text);
    if (!loaded.problems.empty()) state.SkipWithError(loaded.problems.front().text().c_str());
    auto compiled = Compile(loaded.set);
    benchmark::DoNotOptimize(compiled);
  }
  state.counters["file_MB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
}
BENCHMARK(BM_Load100kWords)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
