// Newcomer verification through the real program's `replay`: newcomers asked
// in one run, answering (or not) in the next, so the pending verifications
// cross a restart with their deadlines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "storage/database.h"
#include "storage/schema.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw {
namespace {

using Json = nlohmann::json;
using ::testing::ElementsAre;

constexpr int64_t kGroup = 100;
constexpr int64_t kStart = 1796700000;  // the first run's clock, Unix seconds

struct ReplayRun {
  int status = -1;
  std::vector<Json> calls;  // what replay printed
  std::string err;
};

class VerificationReplayTest : public ::testing::Test {
 protected:
  VerificationReplayTest() {
    data = home.path() + "data/10000/";
    EXPECT_TRUE(EnsureDirectory(data));
    EXPECT_TRUE(WriteFileAtomic(data + "群列表.txt", "{1}1----100----测试群----群主\r\n"));
  }

  // One `replay` over the home, its clock at `clock` (Unix seconds).
  ReplayRun replay(const std::vector<Json>& lines, int64_t clock) {
    std::string events;
    for (const Json& l : lines) events += l.dump() + "\n";
    const std::string in = home.file("events.jsonl"), out = home.file("out"),
                      err = home.file("err");
    test::WriteAll(in, events);
    const std::string command = std::string(BW_PROGRAM) + " replay --home " + home.path() +
                                " --clock \"" + LocalText(clock) + "\" " + in + " >" + out + " 2>" +
                                err;
    ReplayRun r;
    const int status = std::system(command.c_str());
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (const std::string& line : Split(test::ReadAll(out)))
      if (!line.empty()) r.calls.push_back(Json::parse(line));
    r.err = test::ReadAll(err);
    return r;
  }

  static std::string LocalText(int64_t unixSeconds) {
    const time_t t = unixSeconds;
    tm local{};
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
  }

  static std::vector<std::string> Split(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
      const size_t end = text.find('\n', start);
      out.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return out;
  }

  static Json Join(int64_t member, int64_t time) {
    return {{"time", time},          {"post_type", "notice"}, {"notice_type", "group_increase"},
            {"sub_type", "approve"}, {"group_id", kGroup},    {"operator_id", 1},
            {"user_id", member}};
  }
  static Json Leave(int64_t member, int64_t time) {
    return {{"time", time},        {"post_type", "notice"}, {"notice_type", "group_decrease"},
            {"sub_type", "leave"}, {"group_id", kGroup},    {"operator_id", member},
            {"user_id", member}};
  }
  Json say(int64_t member, const std::string& text, int64_t time) {
    return {{"time", time},         {"post_type", "message"}, {"message_type", "group"},
            {"sub_type", "normal"}, {"message_id", ++lastId}, {"group_id", kGroup},
            {"user_id", member},    {"message", text},        {"font", 0}};
  }

  // The answer to the arithmetic question the robot asked `member`.
  static int64_t AnswerOf(const std::vector<Json>& calls, int64_t member) {
    static const std::regex kQuestion(R"((\d+) (\+|-|×) (\d+) = \?)");
    for (const Json& c : calls) {
      const std::string text = c["params"].value("message", "");
      if (c["action"] != "send_group_msg" ||
          text.find("[CQ:at,qq=" + std::to_string(member) + "]") != 0)
        continue;
      std::smatch m;
      if (!std::regex_search(text, m, kQuestion)) continue;
      const int64_t a = std::stoll(m[1]), b = std::stoll(m[3]);
      return m[2] == "+" ? a + b : m[2] == "-" ? a - b : a * b;
    }
    ADD_FAILURE() << "no question asked of " << member;
    return 0;
  }

  // The group messages sent to one member (mentioning them first), in order.
  static std::vector<std::string> MessagesTo(const std::vector<Json>& calls, int64_t member) {
    std::vector<std::string> out;
    const std::string at = "[CQ:at,qq=" + std::to_string(member) + "]";
    for (const Json& c : calls) {
      const std::string text = c["params"].value("message", "");
      if (c["action"] == "send_group_msg" && text.starts_with(at)) out.push_back(text);
    }
    return out;
  }
  static std::vector<int64_t> Recalled(const std::vector<Json>& calls) {
    std::vector<int64_t> out;
    for (const Json& c : calls)
      if (c["action"] == "delete_msg") out.push_back(c["params"]["message_id"].get<int64_t>());
    return out;
  }
  static std::vector<Json> KicksOf(const std::vector<Json>& calls, int64_t member) {
    std::vector<Json> out;
    for (const Json& c : calls)
      if (c["action"] == "set_group_kick" && c["params"]["user_id"] == member) out.push_back(c);
    return out;
  }

  // Rows of a query on the robot's database, each row's columns joined by '|'.
  std::vector<std::string> rows(const std::string& sql) {
    Database db;
    std::vector<std::string> out;
    if (!db.ConnectSqlite(DatabaseFile(data))) return {"(no database)"};
    ScopedQuery q(db, sql);
    const int columns = db.ColumnCount(q.handle());
    while (q.next()) {
      std::string row;
      for (int i = 0; i < columns; ++i) row += (i ? "|" : "") + q.text(i);
      out.push_back(row);
    }
    return out;
  }

  test::TempDir home;
  std::string data;
  int64_t lastId = 0;
};

TEST_F(VerificationReplayTest, NewcomersAnswerAreRecalledPassedOrKickedAcrossARestart) {
  const int64_t a = 30001, b = 30002, c = 30003, d = 30004, e = 30005;
  const int64_t administrator = 1000000;  // built into the administrator list
  // ReplayRun 1: five newcomers join and are asked; one of them leaves again. The
  // ad rule is on so that a message verification keeps to itself would show.
  const ReplayRun first = replay({{{"set",
                                    {{"选择框_开启入群验证", true},
                                     {"编辑框_入群验证群", "100"},
                                     {"编辑框_入群验证时限", "3"},
                                     {"编辑框_入群验证答错次数", "2"},
                                     {"选择框_入群验证拒绝再加群", true},
                                     {"选择框_开启广告检测", true}}}},
                                  Join(a, kStart),
                                  Join(b, kStart + 10),
                                  Join(c, kStart + 20),
                                  Join(d, kStart + 30),
                                  Join(e, kStart + 40),
                                  Join(administrator, kStart + 50),
                                  Leave(e, kStart + 60)},
                                 kStart);
  ASSERT_EQ(first.status, 0) << first.err;
  for (const int64_t m : {a, b, c, d, e}) {
    const std::vector<std::string> asked = MessagesTo(first.calls, m);
    ASSERT_EQ(asked.size(), 1u) << m;
    EXPECT_THAT(asked[0], ::testing::HasSubstr("请在 3 分钟内"));
  }
  EXPECT_TRUE(MessagesTo(first.calls, administrator).empty());  // never asked
  EXPECT_THAT(rows("select QQ号 from 入群验证 order by QQ号"),
              ElementsAre("30001", "30002", "30003", "30004"));  // e left: dropped
  EXPECT_TRUE(KicksOf(first.calls, b).empty());

  // ReplayRun 2, a minute later: the stored questions are still the ones to answer.
  const int64_t t = kStart + 70;
  const int64_t answerA = AnswerOf(first.calls, a), answerC = AnswerOf(first.calls, c);
  std::vector<Json> second = {
      say(a, "加我微信 [CQ:image,file=ad.jpg]", t),                  // 1: recalled, nothing else
      say(a, std::to_string(answerA + 1), t + 1),                    // 2: wrong, recalled
      say(a, "[CQ:at,qq=10000] " + std::to_string(answerA), t + 2),  // 3: right
      say(c, std::to_string(answerC + 1), t + 3),                    // 4: wrong
      say(c, std::to_string(answerC + 2), t + 4),                    // 5: wrong again: kicked
      say(administrator, "[CQ:at,qq=30004] 通过验证", t + 5),        // 6: passes d
      say(d, "大家好", t + 6),                                       // 7: free to speak
      {{"clock", LocalText(kStart + 600)}},                          // b's deadline passes
  };
  const ReplayRun run = replay(second, t);
  ASSERT_EQ(run.status, 0) << run.err;

  // a: chatter and the wrong answer recalled, the right one acknowledged.
  EXPECT_THAT(Recalled(run.calls), ElementsAre(1, 2, 4, 5));
  const std::vector<std::string> toA = MessagesTo(run.calls, a);
  ASSERT_EQ(toA.size(), 2u);
  EXPECT_THAT(toA[0], ::testing::HasSubstr("回答错误，还可以再答 1 次"));
  EXPECT_THAT(toA[1], ::testing::HasSubstr("验证通过"));
  // The ad rule never saw a's messages while a was unverified.
  EXPECT_TRUE(KicksOf(run.calls, a).empty());
  // c: two wrong answers, kicked, and a rejoin refused as set.
  const std::vector<Json> kickC = KicksOf(run.calls, c);
  ASSERT_EQ(kickC.size(), 1u);
  EXPECT_EQ(kickC[0]["params"]["reject_add_request"], true);
  // d: let in by the administrator's command, then speaks without a recall.
  EXPECT_THAT(MessagesTo(run.calls, d), ElementsAre(::testing::HasSubstr("已由管理员放行")));
  // b: kicked when the clock passed b's deadline, after everything else.
  const std::vector<Json> kickB = KicksOf(run.calls, b);
  ASSERT_EQ(kickB.size(), 1u);
  EXPECT_EQ(run.calls.back(), kickB[0]);

  EXPECT_TRUE(rows("select QQ号 from 入群验证").empty());
  // Every act is a case; the deadline's kick carries the deadline's time.
  EXPECT_THAT(rows("select QQ号, 动作, 时间, 执行人 from 处罚记录 order by 编号"),
              ElementsAre("30001|撤回|" + std::to_string(t) + "|0",
                          "30001|撤回|" + std::to_string(t + 1) + "|0",
                          "30001|验证通过|" + std::to_string(t + 2) + "|0",
                          "30003|撤回|" + std::to_string(t + 3) + "|0",
                          "30003|撤回|" + std::to_string(t + 4) + "|0",
                          "30003|验证未通过踢出|" + std::to_string(t + 4) + "|0",
                          "30004|验证通过|" + std::to_string(t + 5) + "|1000000",
                          "30002|验证未通过踢出|" + std::to_string(kStart + 10 + 180) + "|0"));

  // ReplayRun 3: a verified member is judged by the other rules again.
  const ReplayRun third = replay({say(a, "加我微信", kStart + 700)}, kStart + 700);
  ASSERT_EQ(third.status, 0) << third.err;
  EXPECT_EQ(KicksOf(third.calls, a).size(), 1u);
  EXPECT_TRUE(Recalled(third.calls).empty());
}

TEST_F(VerificationReplayTest, OwnQuestionsAcceptAnyListedAnswerInAnyWidthAndCase) {
  const ReplayRun first = replay({{{"set",
                                    {{"选择框_开启入群验证", true},
                                     {"编辑框_入群验证群", "100"},
                                     {"选择框_入群验证自定义问题", true},
                                     {"编辑框_入群验证问题", "本群的树叫什么？|青榆|Elm|榆&柳"}}}},
                                  Join(30001, kStart),
                                  Join(30002, kStart),
                                  Join(30003, kStart),
                                  Join(30004, kStart)},
                                 kStart);
  ASSERT_EQ(first.status, 0) << first.err;
  EXPECT_THAT(MessagesTo(first.calls, 30001),
              ElementsAre(::testing::HasSubstr("本群的树叫什么？")));
  // A message's text arrives with "&", "[", "]" and "," escaped: "榆&柳" as typed.
  const ReplayRun run =
      replay({say(30001, "青 榆", kStart + 5), say(30002, "ＥＬＭ", kStart + 6),
              say(30003, "橡树", kStart + 7), say(30004, "榆&amp;柳", kStart + 8)},
             kStart + 5);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(MessagesTo(run.calls, 30001), ElementsAre(::testing::HasSubstr("验证通过")));
  EXPECT_THAT(MessagesTo(run.calls, 30002), ElementsAre(::testing::HasSubstr("验证通过")));
  EXPECT_THAT(MessagesTo(run.calls, 30003), ElementsAre(::testing::HasSubstr("回答错误")));
  EXPECT_THAT(MessagesTo(run.calls, 30004), ElementsAre(::testing::HasSubstr("验证通过")));
  EXPECT_THAT(Recalled(run.calls), ElementsAre(3));
}

TEST_F(VerificationReplayTest, AMemberKickedWhoComesBackIsAskedAndKickedAgain) {
  // The host reports the robot's kick as a departure; the member then joins
  // again and lets the time run out once more.
  const ReplayRun run = replay({{{"set",
                                  {{"选择框_开启入群验证", true},
                                   {"编辑框_入群验证群", "100"},
                                   {"编辑框_入群验证时限", "1"}}}},
                                Join(30001, kStart),
                                {{"clock", LocalText(kStart + 120)}},
                                Leave(30001, kStart + 121),
                                Join(30001, kStart + 300),
                                {{"clock", LocalText(kStart + 600)}}},
                               kStart);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(MessagesTo(run.calls, 30001),
              ElementsAre(::testing::HasSubstr("欢迎加入本群"), ::testing::HasSubstr("超时"),
                          ::testing::HasSubstr("欢迎加入本群"), ::testing::HasSubstr("超时")));
  EXPECT_EQ(KicksOf(run.calls, 30001).size(), 2u);
}

TEST_F(VerificationReplayTest, SwitchedOffMeanwhileNobodyIsKickedAndMessagesPass) {
  ASSERT_EQ(replay({{{"set", {{"选择框_开启入群验证", true}, {"编辑框_入群验证群", "100"}}}},
                    Join(30001, kStart)},
                   kStart)
                .status,
            0);
  const ReplayRun run = replay({{{"set", {{"选择框_开启入群验证", false}}}},
                                say(30001, "你好", kStart + 5),
                                {{"clock", LocalText(kStart + 3600)}}},
                               kStart + 5);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(Recalled(run.calls).empty());
  EXPECT_TRUE(KicksOf(run.calls, 30001).empty());
  EXPECT_TRUE(rows("select QQ号 from 入群验证").empty());  // let go at the deadline
}

}  // namespace
}  // namespace bw
