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

}  // namespace

BENCHMARK_MAIN();
