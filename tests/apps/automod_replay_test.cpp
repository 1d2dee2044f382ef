// Automatic moderation through the real program's `replay`: a control line
// sets the rules, events go in, the host calls come out and the cases and
// warning points land in the data folder's database.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/schema.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using json = nlohmann::json;

// 2026-12-07 21:05:09 UTC; the replays start their clock before it.
constexpr int64_t kT0 = 1796677509;
constexpr int64_t kGroup = 100;

struct Replayed {
  int status = -1;
  std::vector<json> calls;  // standard output: one host call per line
  std::string err;
  std::vector<std::string> runLog;  // "type\tmessage"

  // The calls of one action, e.g. "delete_msg".
  std::vector<json> of(const std::string& action) const {
    std::vector<json> out;
    for (const auto& c : calls)
      if (c.value("action", "") == action) out.push_back(c);
    return out;
  }
  std::vector<int64_t> recalled() const {
    std::vector<int64_t> ids;
    for (const auto& c : of("delete_msg")) ids.push_back(c["params"]["message_id"].get<int64_t>());
    return ids;
  }
};

class AutomodReplay : public ::testing::Test {
 protected:
  AutomodReplay() {
    data = home.path() + "data/10000/";
    EXPECT_TRUE(EnsureDirectory(data));
    // Two managed groups.
    EXPECT_TRUE(WriteFileAtomic(
        data + "群列表.txt", "{1}1----100----测试群----群主\r\n{1}1----200----二群----群主\r\n"));
  }

  static std::string Message(int64_t time, int64_t user, int64_t id, const std::string& text,
                             int64_t group = kGroup) {
    return json{{"time", time},           {"self_id", 10000},
                {"post_type", "message"}, {"message_type", "group"},
                {"sub_type", "normal"},   {"message_id", id},
                {"group_id", group},      {"user_id", user},
                {"message", text},        {"font", 0}}
        .dump();
  }
  static std::string Joined(int64_t time, int64_t user, int64_t group = kGroup) {
    return json{{"time", time},          {"self_id", 10000},
                {"post_type", "notice"}, {"notice_type", "group_increase"},
                {"sub_type", "approve"}, {"group_id", group},
                {"operator_id", 0},      {"user_id", user}}
        .dump();
  }
  static std::string Rules(const json& rules, const json& extra = json::object()) {
    json set = extra;
    set["rules"] = rules;
    return json{{"automod", set}}.dump();
  }

  Replayed replay(const std::vector<std::string>& lines,
                  const std::string& clock = "2026-12-07 20:00:00") {
    std::string events;
    for (const auto& l : lines) events += l + "\n";
    const std::string in = home.path() + "events.jsonl";
    test::WriteAll(in, events);
    const std::string out = home.path() + "out.txt", err = home.path() + "err.txt";
    const pid_t pid = fork();
    if (pid == 0) {
      const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(o, 1);
      dup2(e, 2);
      std::string program = BW_PROGRAM;
      std::vector<std::string> args = {program,   "replay", "--home", home.path(),
                                       "--clock", clock,    in};
      std::vector<char*> argv;
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    Replayed r;
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    size_t start = 0;
    const std::string text = test::ReadAll(out);
    while (start < text.size()) {
      const size_t end = text.find('\n', start);
      r.calls.push_back(json::parse(text.substr(start, end - start)));
      start = end == std::string::npos ? text.size() : end + 1;
    }
    r.err = test::ReadAll(err);
    start = 0;
    while (start < r.err.size()) {
      const size_t end = std::min(r.err.find('\n', start), r.err.size());
      const std::string line = r.err.substr(start, end - start);
      if (line.starts_with("runlog\t")) r.runLog.push_back(line.substr(7));
      start = end + 1;
    }
    return r;
  }

  int64_t count(const std::string& sql) {
    Database db;
    if (!db.ConnectSqlite(DatabaseFile(data))) return -1;
    ScopedQuery q(db, sql);
    return q.next() ? q.integer64(0) : -1;
  }

  test::TempDir home;
  std::string data;
};

json Recall() { return json::array({json{{"kind", "recall"}}}); }
json Word(const std::string& text) { return json::array({json{{"text", text}}}); }

json WordsRule(const std::string& id, const json& words, const json& actions,
               const std::string& state = "on") {
  return {{"id", id},
          {"name", "广告词"},
          {"state", state},
          {"groups", "all"},
          {"trigger", {{"kind", "words"}, {"words", words}, {"allow", json::array({"官方"})}}},
          {"actions", actions}};
}

TEST_F(AutomodReplay, FoldedWordsAreCaughtAndTheExceptionsAndCleanMessagesPass) {
  const json words = json::array(
      {json{{"text", "加我微信"}, {"mode", "contains"}}, json{{"text", "vx"}, {"mode", "contains"}},
       json{{"text", "收到"}, {"mode", "whole"}}, json{{"text", "v\\d{3,}"}, {"mode", "regex"}}});
  const Replayed r = replay({
      Rules(json::array({WordsRule("r1", words, Recall())})), Message(kT0, 20001, 1, "加 我 微 信"),
      Message(kT0 + 1, 20002, 2, "加\u200b我微信"), Message(kT0 + 2, 20003, 3, "ＶＸ：abc"),
      Message(kT0 + 3, 20004, 4, "加[CQ:face,id=1]我　微信"),
      Message(kT0 + 4, 20005, 5, "这是官方vx号"),      // an exception
      Message(kT0 + 5, 20006, 6, "今天大家好，加油"),  // clean
      Message(kT0 + 6, 20007, 7, "收 到"),             // the whole message
      Message(kT0 + 7, 20008, 8, "收到了谢谢"),        // not the whole message
      Message(kT0 + 8, 20009, 9, "Ｖ 1 2 3 4"),        // the regex, on the folded text
      Message(kT0 + 9, 1000000, 10, "加我微信"),       // an administrator: never a target
      Message(kT0 + 10, 10000, 11, "加我微信"),        // the robot itself
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.recalled(), (std::vector<int64_t>{1, 2, 3, 4, 7, 9})) << r.err;
  EXPECT_EQ(count("select count(1) from 处罚记录 where 动作='撤回'"), 6);
  EXPECT_EQ(count("select count(1) from 处罚记录 where QQ号=20005"), 0);
}

TEST_F(AutomodReplay, TheChainRecallsWarnsGivesPointsAndTheLadderClimbsThenFades) {
  const json ladder = {
      {"days", 30},
      {"steps", json::array({json{{"points", 1}, {"action", "warn"}},
                             json{{"points", 2}, {"action", "mute"}, {"seconds", 600}},
                             json{{"points", 3}, {"action", "mute"}, {"seconds", 86400}},
                             json{{"points", 4}, {"action", "kick"}}})}};
  const json chain =
      json::array({json{{"kind", "recall"}}, json{{"kind", "warn"}, {"text", "[昵称] 请勿发广告"}},
                   json{{"kind", "points"}, {"count", 1}}, json{{"kind", "report"}}});
  const int64_t later = kT0 + 31 * 86400;  // the first points have faded
  const Replayed r = replay({
      Rules(json::array({WordsRule("r1", Word("加我微信"), chain)}),
            {{"ladder", ladder}, {"reportGroup", 999}}),
      Message(kT0, 20001, 1, "加我微信"), Message(kT0 + 60, 20001, 2, "加我微信"),
      Message(kT0 + 120, 20001, 3, "加我微信"), Message(kT0 + 180, 20001, 4, "加我微信"),
      Message(later, 20002, 5, "加我微信"),
      Message(later + 1, 20001, 6, "加我微信"),  // one point again: a warning only
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.recalled(), (std::vector<int64_t>{1, 2, 3, 4, 5, 6}));
  std::vector<int64_t> bans;
  for (const auto& c : r.of("set_group_ban"))
    bans.push_back(c["params"]["duration"].get<int64_t>());
  EXPECT_EQ(bans, (std::vector<int64_t>{600, 86400}));
  const auto kicks = r.of("set_group_kick");
  ASSERT_EQ(kicks.size(), 1u);
  EXPECT_EQ(kicks[0]["params"]["user_id"], 20001);
  // The warnings in the group, the reports in the report group.
  int warnings = 0, reports = 0;
  for (const auto& c : r.of("send_group_msg")) {
    const std::string text = c["params"]["message"];
    if (c["params"]["group_id"] == kGroup && text.find("请勿发广告") != std::string::npos)
      ++warnings;
    if (c["params"]["group_id"] == 999) {
      ++reports;
      EXPECT_THAT(text, HasSubstr("广告词"));
      EXPECT_THAT(text, HasSubstr("加我微信"));
    }
  }
  EXPECT_EQ(warnings, 6);
  EXPECT_EQ(reports, 6);
  EXPECT_EQ(count("select count(1) from 警告点 where QQ号=20001"), 5);
  EXPECT_EQ(count("select count(1) from 处罚记录 where 动作='禁言' and QQ号=20001"), 2);
  EXPECT_EQ(count("select count(1) from 处罚记录 where 动作='踢出'"), 1);
  EXPECT_EQ(count("select count(1) from 处罚记录 where 动作='警告点'"), 6);
  EXPECT_EQ(count("select max(数量) from 处罚记录 where 动作='禁言'"), 86400);
  // The existing warning count of its own options is untouched.
  EXPECT_EQ(count("select count(1) from 警告记录"), 0);
}

TEST_F(AutomodReplay, FloodRepeatsRaidMentionsLinksAndCards) {
  auto rule = [](const std::string& id, const json& trigger) {
    return json{{"id", id}, {"name", id}, {"trigger", trigger}, {"actions", Recall()}};
  };
  const json rules = json::array({
      rule("flood", {{"kind", "flood"}, {"count", 3}, {"seconds", 10}}),
      rule("repeat", {{"kind", "repeat"}, {"count", 3}, {"seconds", 60}}),
      rule("raid", {{"kind", "raid"}, {"count", 3}, {"seconds", 60}}),
      rule("mentions", {{"kind", "mentions"}, {"count", 3}, {"everyone", true}}),
      rule("links", {{"kind", "links"},
                     {"urls", true},
                     {"allowDomains", json::array({"qq.com"})},
                     {"numbers", true},
                     {"cards", true}}),
  });
  int64_t t = kT0;
  const Replayed r = replay({
      Rules(rules),
      // Flood: four quick messages hit on the fourth; slow ones and another
      // group's never do.
      Message(t, 30001, 101, "一"),
      Message(t + 1, 30001, 102, "二"),
      Message(t + 2, 30001, 103, "三", 200),
      Message(t + 3, 30001, 104, "四"),
      Message(t + 4, 30001, 105, "五"),
      Message(t + 20, 30002, 111, "早"),
      Message(t + 32, 30002, 112, "午"),
      Message(t + 44, 30002, 113, "晚"),
      Message(t + 56, 30002, 114, "夜"),
      // Repeats: the same folded text three times within a minute.
      Message(t + 100, 30003, 121, "买房找我"),
      Message(t + 115, 30003, 122, "买 房 找 我"),
      Message(t + 130, 30003, 123, "买房找我"),
      // Raid: three members, one text.
      Message(t + 200, 30004, 131, "冲冲冲"),
      Message(t + 201, 30005, 132, "冲冲冲"),
      Message(t + 202, 30006, 133, "冲冲冲"),
      // Mentions: four members, or everyone.
      Message(t + 300, 30007, 141, "[CQ:at,qq=1][CQ:at,qq=2][CQ:at,qq=3][CQ:at,qq=4] 看看"),
      Message(t + 301, 30008, 142, "[CQ:at,qq=1][CQ:at,qq=2][CQ:at,qq=3] 看看"),
      Message(t + 302, 30009, 143, "[CQ:at,qq=all] 通知"),
      // Links, numbers and cards.
      Message(t + 400, 30010, 151, "点这里 https://spam.example.cn/x 领红包"),
      Message(t + 401, 30011, 152, "看 https://qun.qq.com/notice 公告"),
      Message(t + 402, 30012, 153, "加群 ８８７６５４３２"),
      Message(t + 403, 30013, 154, "[CQ:json,data={\"app\":\"com.tencent.miniapp\"}]"),
      Message(t + 404, 30014, 155, "网站 abc。top 了解"),
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.recalled(), (std::vector<int64_t>{105, 123, 133, 141, 143, 151, 153, 154, 155}))
      << r.err;
  for (const char* rule : {"flood", "repeat", "raid", "mentions", "links"})
    EXPECT_GE(count(std::string("select count(1) from 处罚记录 where 规则='") + rule + "'"), 1)
        << rule;
}

TEST_F(AutomodReplay, ANewcomerRuleSparesMembersWhoJoinedLongAgoOrAreUnknown) {
  const json rule = {{"id", "n"},
                     {"name", "新人链接"},
                     {"newcomerDays", 3},
                     {"trigger", {{"kind", "links"}, {"urls", true}}},
                     {"actions", Recall()}};
  const Replayed r = replay(
      {
          Rules(json::array({rule})), Joined(kT0 - 10 * 86400, 40001), Joined(kT0 - 3600, 40002),
          Message(kT0, 40001, 1, "https://a.example.com"),      // joined ten days ago
          Message(kT0 + 1, 40002, 2, "https://a.example.com"),  // an hour ago
          Message(kT0 + 2, 40003, 3, "https://a.example.com"),  // not in the member table
      },
      "2026-11-20 00:00:00");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.recalled(), (std::vector<int64_t>{2})) << r.err;
}

TEST_F(AutomodReplay, WatchOnlyRecordsWouldHaveCasesAndDoesNothing) {
  const json chain =
      json::array({json{{"kind", "recall"}}, json{{"kind", "warn"}, {"text", "别发"}},
                   json{{"kind", "points"}, {"count", 2}}, json{{"kind", "mute"}, {"seconds", 600}},
                   json{{"kind", "kickBlacklist"}}});
  const Replayed r = replay({
      Rules(json::array({WordsRule("w", Word("加我微信"), chain, "watch")})),
      Message(kT0, 50001, 1, "加我微信"),
  });
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.calls.empty()) << r.calls.front().dump();
  EXPECT_EQ(count("select count(1) from 处罚记录 where 仅观察=1"), 5);
  EXPECT_EQ(count("select count(1) from 处罚记录 where 仅观察=0"), 0);
  EXPECT_EQ(count("select count(1) from 警告点"), 0);
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  EXPECT_THAT(r.runLog, Contains(HasSubstr("仅观察")));
}

TEST_F(AutomodReplay, ABrokenRuleInTheFileIsTurnedOffAndTheOthersWork) {
  const std::string file =
      "# 手工编辑\n"
      "[设置]\n{\"ladder\":{\"days\":30,\"steps\":[]},\"reportGroup\":0}\n\n"
      "[规则 bad]\n{\"id\":\"bad\",\"name\":\"写坏了\",\"trigger\":{\"kind\":\"words\",\n"
      "\n"
      "[规则 regex]\n{\"id\":\"regex\",\"name\":\"坏正则\",\"trigger\":{\"kind\":\"words\","
      "\"words\":[{\"text\":\"(\",\"mode\":\"regex\"}]},\"actions\":[{\"kind\":\"recall\"}]}\n"
      "[规则 good]\n{\"id\":\"good\",\"name\":\"广告\",\"trigger\":{\"kind\":\"words\","
      "\"words\":[\"加我微信\"]},\"actions\":[{\"kind\":\"recall\"}]}\n";
  ASSERT_TRUE(WriteFileAtomic(data + "automod.txt", file));
  const Replayed r = replay({Message(kT0, 60001, 7, "加我微信")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.recalled(), (std::vector<int64_t>{7}));
  EXPECT_THAT(r.runLog,
              Contains(AllOf(HasSubstr("automod.txt"), HasSubstr("bad"), HasSubstr("已停用"))));
  EXPECT_THAT(r.runLog, Contains(AllOf(HasSubstr("坏正则"), HasSubstr("已停用"))));
  EXPECT_THAT(r.err, HasSubstr("automod.txt"));          // the log line names the file
  EXPECT_EQ(test::ReadAll(data + "automod.txt"), file);  // nothing rewritten

  // The same file through the control line.
  const std::string copy = home.path() + "rules.txt";
  test::WriteAll(copy, file);
  const Replayed c =
      replay({json{{"automod", copy}}.dump(), Message(kT0 + 5, 60002, 8, "加我微信")});
  EXPECT_EQ(c.recalled(), (std::vector<int64_t>{8}));
  EXPECT_THAT(c.err, HasSubstr("规则「bad」：这一节不是有效的 JSON"));
}

}  // namespace
}  // namespace bw
