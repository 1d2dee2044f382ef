// Counting the daily-statistics patterns over a generated 300,000-line day
// file, with the robot's RegexMatcher (PCRE2 JIT on UTF-8) and, for comparison,
// std::wregex on the wide form of the text (what the standard library offers
// for character-wise matching).
//
//   build/bench/bench_regex_count [--benchmark_filter=...]
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "web/regex_matcher.h"

namespace {

constexpr int kLines = 300000;
constexpr int64_t kGroups[] = {123456, 234567, 345678, 456789, 567890,
                               678901, 789012, 890123, 901234, 112233};

// Lines as the group log writes them: time, group, 进群/退群, member, operator
// ("0" for a voluntary leave or a join without inviter).
const std::string& DayText() {
  static const std::string text = [] {
    std::mt19937 rng(20261207);
    std::string out;
    out.reserve(static_cast<size_t>(kLines) * 52);
    char line[128];
    for (int i = 0; i < kLines; ++i) {
      const int second = static_cast<int>(int64_t{i} * 86400 / kLines);
      const int64_t group = kGroups[rng() % std::size(kGroups)];
      const bool join = rng() % 2 == 0;
      const int64_t member = 10000 + rng() % 3000000000u;
      const int64_t op = rng() % 3 == 0 ? 0 : 10000 + rng() % 3000000000u;
      std::snprintf(line, sizeof line, "2026-12-7 %02d:%02d:%02d\t%lld\t%s\t%lld\t%lld\n",
                    second / 3600, second / 60 % 60, second % 60, static_cast<long long>(group),
                    join ? "进群" : "退群", static_cast<long long>(member),
                    static_cast<long long>(op));
      out += line;
    }
    return out;
  }();
  return text;
}

std::vector<std::string> Patterns(int64_t group) {
  const std::string g = std::to_string(group);
  return {g + "\\D进群\\D[1-9][0-9]{4,}", g + "\\D退群\\D[1-9][0-9]{4,}\\D0",
          g + "\\D退群\\D[1-9][0-9]{4,}\\D[1-9][0-9]{4,}"};
}

std::wstring Widen(const std::string& utf8) {
  std::wstring out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    const size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    uint32_t cp = n == 1 ? b : b & (0xFF >> (n + 1));
    for (size_t k = 1; k < n && i + k < utf8.size(); ++k) {
      cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    }
    out += static_cast<wchar_t>(cp);
    i += n;
  }
  return out;
}

// The three counts of one group, as the summary row needs them.
void BM_RegexMatcher_OneGroup(benchmark::State& state) {
  const std::string& text = DayText();
  const auto patterns = Patterns(kGroups[0]);
  size_t total = 0;
  for (auto _ : state) {
    total = 0;
    for (const std::string& p : patterns) {
      bw::RegexMatcher m;
      m.run(text, p);
      total += m.count();
    }
    benchmark::DoNotOptimize(total);
  }
  state.counters["matches"] = static_cast<double>(total);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 3 *
                          static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_RegexMatcher_OneGroup)->Unit(benchmark::kMillisecond);

// A whole summary: ten managed groups, three patterns each.
void BM_RegexMatcher_TenGroups(benchmark::State& state) {
  const std::string& text = DayText();
  for (auto _ : state) {
    size_t total = 0;
    for (int64_t g : kGroups) {
      for (const std::string& p : Patterns(g)) {
        bw::RegexMatcher m;
        m.run(text, p);
        total += m.count();
      }
    }
    benchmark::DoNotOptimize(total);
  }
}
BENCHMARK(BM_RegexMatcher_TenGroups)->Unit(benchmark::kMillisecond);

// The standard library's engine on the wide text (conversion included), one group.
void BM_StdWregex_OneGroup(benchmark::State& state) {
  const std::string& text = DayText();
  const auto patterns = Patterns(kGroups[0]);
  size_t total = 0;
  size_t expected = 0;
  for (const std::string& p : patterns) {
    bw::RegexMatcher m;
    m.run(text, p);
    expected += m.count();
  }
  for (auto _ : state) {
    const std::wstring wide = Widen(text);
    total = 0;
    for (const std::string& p : patterns) {
      std::wregex re(Widen(p), std::regex::ECMAScript | std::regex::icase | std::regex::multiline);
      total += static_cast<size_t>(std::distance(
          std::wsregex_iterator(wide.begin(), wide.end(), re), std::wsregex_iterator()));
    }
    benchmark::DoNotOptimize(total);
  }
  if (total != expected) state.SkipWithError("std::wregex and RegexMatcher disagree");
  state.counters["matches"] = static_cast<double>(total);
}
BENCHMARK(BM_StdWregex_OneGroup)->Unit(benchmark::kMillisecond)->Iterations(2);

}  // namespace

BENCHMARK_MAIN();
