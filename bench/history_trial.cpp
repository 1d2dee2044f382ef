// 试一试历史 over 100,000 kept messages of one group: a rule set of a words
// rule (200 words and 5 regular expressions), a flood rule and a repeat rule,
// the messages read from SQLite and run oldest first. The goal is under 5 s.
#include "core/history_trial.h"

#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>
#include <string>

#include "core/replay_engine.h"
#include "storage/database.h"
#include "storage/message_history_table.h"
#include "support/temp_dir.h"
#include "util/files.h"
#include "util/log.h"

namespace {

constexpr int kMessages = 100000;

bw::automod::RuleSet Rules() {
  nlohmann::json set = nlohmann::json::parse(R"({
    "rules": [
      {"id": "w", "name": "广告词", "state": "on", "groups": "all",
       "trigger": {"kind": "words", "words": [], "allow": []}, "newcomerDays": 0,
       "actions": [{"kind": "recall"}, {"kind": "points", "count": 1}]},
      {"id": "f", "name": "刷屏", "state": "on", "groups": "all",
       "trigger": {"kind": "flood", "count": 10, "seconds": 10}, "newcomerDays": 0,
       "actions": [{"kind": "mute", "seconds": 600}]},
      {"id": "r", "name": "复读", "state": "watch", "groups": "all",
       "trigger": {"kind": "repeat", "count": 3, "seconds": 60}, "newcomerDays": 0,
       "actions": [{"kind": "warn", "text": "{at} 请勿刷屏"}]}],
    "ladder": {"days": 30, "steps": [{"points": 2, "action": "mute", "seconds": 600},
                                     {"points": 4, "action": "kick"}]}})");
  nlohmann::json& words = set["rules"][0]["trigger"]["words"];
  std::mt19937 rng(11);
  for (int i = 0; i < 200; ++i)
    words.push_back({{"text", "广告" + std::to_string(rng() % 100000)}, {"mode", "contains"}});
  for (int i = 0; i < 5; ++i)
    words.push_back({{"text", "v[x信]" + std::to_string(i) + "[0-9]{3}"}, {"mode", "regex"}});
  words.push_back({{"text", "加我微信"}, {"mode", "contains"}});
  std::vector<bw::automod::Problem> problems;
  bw::automod::RuleSet rules = bw::automod::FromJson(set, problems);
  if (!problems.empty()) bw::LogError("benchmark rules: " + problems[0].text());
  return rules;
}

struct Kept {
  Kept() {
    bw::SetLogLevel(bw::LogLevel::kWarning);
    const std::string data = dir.path() + "data/10000/";
    bw::EnsureDirectory(data);
    bw::WriteFileAtomic(data + "群列表.txt", "{1}1----100----甲群----群主\r\n");
    bw::ReplayOptions o;
    o.runDirectory = dir.path().substr(0, dir.path().size() - 1);
    o.start = bw::LocalTime(2026, 12, 7, 12);
    engine = std::make_unique<bw::ReplayEngine>(o);
    engine->start();
    // A day of chat: 20 messages a second from 2,000 members, one in 200 an
    // advertisement, now and then a burst and a repeated line.
    std::mt19937 rng(5);
    const int64_t start = engine->clock().unixSeconds() - 86400;
    bw::MessageHistoryTable& table = engine->core().modules.historyTable;
    bw::Transaction tx(engine->lifecycle().database());
    for (int i = 0; i < kMessages; ++i) {
      const int64_t member = 20000 + rng() % 2000;
      std::string text = "今天天气不错，我们下午三点去公园散步吧 " + std::to_string(rng() % 1000);
      if (i % 200 == 0) text = "加我微信 便宜出 " + std::to_string(i);
      if (i % 997 == 0) text = "复读复读";
      table.add(10000, {start + i / 20, 100, member, i, text});
    }
    tx.commit();
    request.group = 100;
    request.from = start;
    request.to = start + 86400;
    request.rules = Rules();
  }
  bw::test::TempDir dir;
  std::unique_ptr<bw::ReplayEngine> engine;
  bw::TrialRequest request;
};

void BM_TryRulesOn100kMessages(benchmark::State& state) {
  static Kept kept;
  for (auto _ : state) {
    bw::TrialOutcome outcome;
    bw::TryRulesOnHistory(kept.engine->core(), kept.request, outcome);
    if (outcome.messages != static_cast<size_t>(kMessages)) state.SkipWithError("messages lost");
    state.counters["cases"] = static_cast<double>(outcome.cases);
  }
  state.SetItemsProcessed(state.iterations() * kMessages);
}
BENCHMARK(BM_TryRulesOn100kMessages)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
