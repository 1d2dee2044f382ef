// Group messages through the whole processor: a clean 200-byte message with the
// default banned-word list and with 5,000 words, and a violating message that
// counts a warning in SQLite.
#include <benchmark/benchmark.h>

#include <random>
#include <string>

#include "core/rule_modules.h"
#include "settings/option_names.h"
#include "storage/cqimg_file_info.h"
#include "support/robot_fixture.h"
#include "util/log.h"

namespace {

using bw::test::RobotFixture;

struct Pipeline : RobotFixture {
  Pipeline() {
    manage({111111});
    settings.setChecked(bw::opt::kInviteQueryOn, true);
    settings.setChecked(bw::opt::kAdDetectionOn, true);
    settings.setChecked(bw::opt::kKeywordReplyOn, true);
    settings.setChecked(bw::opt::kPunishVoice, true);
    settings.setChecked(bw::opt::kPunishImageSize, true);
    settings.setChecked(bw::opt::kPunishImageRun, true);
  }
  bw::CqImgFileInfo images{identity};
  bw::RuleModules rules{services(images)};
  bw::Violations& violations = rules.violations;
  bw::GroupMessageProcessor& processor = rules.processor;
};

// About 200 bytes of ordinary chat: no banned word, no image, no mention.
std::string CleanMessage() {
  std::string msg =
      "今天天气不错，我们下午三点去公园散步吧，顺便买点水果回来。Bring the kids too! ";
  while (msg.size() < 200) msg += "好的";
  return msg;
}

std::string RandomWords(size_t count, const std::string& avoidIn) {
  std::mt19937 rng(7);
  std::string text;
  size_t made = 0;
  while (made < count) {
    std::string word;
    size_t chars = 2 + rng() % 3;
    for (size_t i = 0; i < chars; ++i) {
      char32_t cp = 0x4E00 + rng() % (0x9FA5 - 0x4E00);
      word += static_cast<char>(0xE0 | (cp >> 12));
      word += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      word += static_cast<char>(0x80 | (cp & 0x3F));
    }
    if (avoidIn.find(word) != std::string::npos) continue;
    if (!text.empty()) text += "+";
    text += word;
    ++made;
  }
  return text;
}

void RunClean(benchmark::State& state, Pipeline& p) {
  bw::GroupMessageRecord record;
  record.fromGroup = 111111;
  record.fromQQ = 123456;
  record.msg = CleanMessage();
  if (p.violations.check(record)) {
    state.SkipWithError("the clean message violates");
    return;
  }
  for (auto _ : state) p.processor.process(record);
  if (!p.host.actions().empty()) state.SkipWithError("the clean message caused host actions");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(record.msg.size()));
}

void BM_CleanMessageDefaultList(benchmark::State& state) {
  Pipeline p;
  RunClean(state, p);
}
BENCHMARK(BM_CleanMessageDefaultList);

void BM_CleanMessage5000Words(benchmark::State& state) {
  Pipeline p;
  p.settings.setText(bw::opt::kBannedWords, RandomWords(5000, CleanMessage()));
  RunClean(state, p);
}
BENCHMARK(BM_CleanMessage5000Words);

void BM_ViolatingMessageWithWarningCount(benchmark::State& state) {
  bw::SetLogLevel(bw::LogLevel::kError);
  Pipeline p;
  p.settings.setChecked(bw::opt::kWarnBeforePunish, true);
  p.settings.setText(bw::opt::kWarningsBeforePunish, "2000000000");  // every violation only warns
  bw::GroupMessageRecord record;
  record.fromGroup = 111111;
  record.fromQQ = 123456;
  record.msg = CleanMessage() + "加微信";
  for (auto _ : state) {
    p.processor.process(record);
    p.host.clear();
  }
  if (p.count("select 警告次数 from 警告记录 where QQ号='123456'") !=
      static_cast<int64_t>(state.iterations()))
    state.SkipWithError("warnings were not counted");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ViolatingMessageWithWarningCount);

// Automatic moderation on top: 20 rules holding 2,000 words and 50 regular
// expressions (plus flood, repeat and mention rules), all after the existing
// rules, on the same clean message.
bw::automod::RuleSet AutomodRules() {
  using namespace bw::automod;
  RuleSet set;
  std::mt19937 rng(11);
  const std::string words = RandomWords(2000, CleanMessage());
  size_t at = 0;
  for (int i = 0; i < 20; ++i) {
    Rule r;
    r.id = "r" + std::to_string(i);
    r.name = r.id;
    r.trigger.kind = TriggerKind::kWords;
    for (int w = 0; w < 100; ++w) {
      const size_t end = words.find('+', at);
      r.trigger.words.push_back(Word{words.substr(at, end - at), WordMode::kContains});
      at = end == std::string::npos ? words.size() : end + 1;
    }
    for (int x = 0; x < (i < 10 ? 5 : 0); ++x)
      r.trigger.words.push_back(
          Word{"qq" + std::to_string(rng() % 1000) + "\\d{4,}|加.{0,3}群" + std::to_string(x),
               WordMode::kRegex});
    r.actions.push_back(Action{ActionKind::kRecall});
    set.rules.push_back(std::move(r));
  }
  Rule flood{.id = "flood", .name = "flood"};
  flood.trigger = Trigger{.kind = TriggerKind::kFlood, .count = 10, .seconds = 10};
  flood.actions.push_back(Action{ActionKind::kMute, "", 0, 600});
  Rule repeat{.id = "repeat", .name = "repeat"};
  repeat.trigger = Trigger{.kind = TriggerKind::kRepeat, .count = 5, .seconds = 60};
  repeat.actions.push_back(Action{ActionKind::kRecall});
  Rule mentions{.id = "mentions", .name = "mentions"};
  mentions.trigger = Trigger{.kind = TriggerKind::kMentions, .count = 10, .everyone = true};
  mentions.actions.push_back(Action{ActionKind::kRecall});
  set.rules.push_back(flood);
  set.rules.push_back(repeat);
  set.rules.push_back(mentions);
  return set;
}

void BM_CleanMessageWithAutomod(benchmark::State& state) {
  Pipeline p;
  const auto problems = p.rules.automod.useRules(AutomodRules());
  if (!problems.empty()) {
    state.SkipWithError(problems.front().text().c_str());
    return;
  }
  bw::GroupMessageRecord record;
  record.fromGroup = 111111;
  record.msgId = 1;
  record.msg = CleanMessage();
  int64_t member = 0;
  for (auto _ : state) {
    // A different member each time: the windows see ordinary traffic, not a flood.
    record.fromQQ = 200000 + (member++ % 5000);
    p.clock.advance(std::chrono::milliseconds(200));
    p.rules.onGroupMessage(record);
  }
  if (!p.host.actions().empty()) state.SkipWithError("the clean message caused host actions");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_CleanMessageWithAutomod);

}  // namespace

BENCHMARK_MAIN();
