// 处罚记录 over loopback: the violations of a day become cases that the panel
// lists newest first, filtered and page by page without a gap or a repeat;
// undo lifts a mute through the host and marks the case; the CSV export opens
// with a byte-order mark and keeps every cell one cell, formulas disarmed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "host/cq_code.h"
#include "ui/panel_fixture.h"

namespace bw::ui {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int64_t kAdmin = 1000000;  // the built-in administrator

class PanelCasesTest : public PanelFixture {
 protected:
  void SetUp() override {
    startWithFourGroups();
    Settings& s = lifecycle.settings();
    s.setChecked("选择框_开启广告检测", true);
    s.setChecked("选择框_踢关键词", true);
    s.setText("编辑框_踢人关键词", "加我微信");
    s.setChecked("单选框_禁言", true);
    s.setText("编辑框_禁言时间", "10");
  }
  void say(int64_t group, int64_t sender, const std::string& msg) {
    GroupMessageRecord r;
    r.fromGroup = group;
    r.fromQQ = sender;
    r.msg = msg;
    core.modules.processor.process(r);
    clock.advance(std::chrono::minutes(1));  // one case a minute
  }
  // Every case the listing gives for `query`, page after page of `size`.
  std::vector<Json> walk(const std::string& query, int size, int* pages = nullptr) {
    std::vector<Json> out;
    std::string after;
    int n = 0;
    for (; n < 100; ++n) {
      auto [code, page] = get("/api/cases?limit=" + std::to_string(size) + query + after);
      EXPECT_EQ(code, 200) << page.dump();
      if (code != 200) break;
      EXPECT_LE(page["cases"].size(), static_cast<size_t>(size));
      for (const Json& c : page["cases"]) out.push_back(c);
      if (page["next"].is_null()) break;
      after = "&afterTime=" + std::to_string(page["next"]["time"].get<int64_t>()) +
              "&afterId=" + std::to_string(page["next"]["id"].get<int64_t>());
    }
    if (pages) *pages = n + 1;
    return out;
  }
  std::vector<std::string> bans() {
    std::vector<std::string> out;
    for (const HostCall& c : host.actions()) {
      if (c.action == "set_group_ban")
        out.push_back(std::to_string(c.group) + " " + std::to_string(c.account) + " " +
                      std::to_string(c.number));
    }
    return out;
  }
};

TEST_F(PanelCasesTest, ListsFiltersAndPagesTheCasesOfTheRules) {
  status.set(ConnectionStatus::State::kConnected);  // a mute can be lifted
  // Seven mutes in two groups, then an administrator's kick in a third.
  for (int i = 0; i < 7; ++i) say(i % 2 ? 102 : 101, 20001 + i, "加我微信 第" + std::to_string(i));
  say(103, kAdmin, cq::At(30001) + " 走你");

  int pages = 0;
  const std::vector<Json> all = walk("", 3, &pages);
  ASSERT_EQ(all.size(), 8u);
  EXPECT_EQ(pages, 3);
  std::set<int64_t> ids;
  for (size_t i = 0; i < all.size(); ++i) {
    ids.insert(all[i]["id"].get<int64_t>());
    if (i) {
      EXPECT_GT(all[i - 1]["time"].get<int64_t>(), all[i]["time"].get<int64_t>());
    }
  }
  EXPECT_EQ(ids.size(), 8u);
  EXPECT_EQ(all[0]["action"], "踢出");
  EXPECT_EQ(all[0]["actor"], kAdmin);
  EXPECT_EQ(all[0]["member"], 30001);
  EXPECT_EQ(all[0]["canUndo"], false);
  EXPECT_THAT(all[0]["whyNot"].get<std::string>(), HasSubstr("踢出"));
  EXPECT_EQ(all[7]["action"], "禁言");
  EXPECT_EQ(all[7]["member"], 20001);
  EXPECT_EQ(all[7]["amount"], 600);
  EXPECT_EQ(all[7]["evidence"], "加我微信 第0");
  EXPECT_EQ(all[7]["rule"], "关键词踢人/禁言");
  EXPECT_EQ(all[7]["canUndo"], true);

  // Filters, each walked in pages of 2.
  std::vector<Json> inGroup = walk("&group=101", 2);
  ASSERT_EQ(inGroup.size(), 4u);
  for (const Json& c : inGroup) EXPECT_EQ(c["group"], 101);
  ASSERT_EQ(walk("&member=20004", 2).size(), 1u);
  EXPECT_EQ(walk("&action=" + std::string("%E7%A6%81%E8%A8%80"), 2).size(), 7u);   // 禁言
  EXPECT_EQ(walk("&rule=%40%E8%B8%A2%E4%BA%BA%E5%91%BD%E4%BB%A4", 2).size(), 1u);  // @踢人命令
  // The minutes of the third to the fifth case.
  const int64_t t2 = all[7 - 2]["time"], t4 = all[7 - 4]["time"];
  const std::vector<Json> range =
      walk("&from=" + std::to_string(t2) + "&to=" + std::to_string(t4), 2);
  ASSERT_EQ(range.size(), 3u);
  EXPECT_EQ(range[0]["member"], 20005);
  EXPECT_EQ(range[2]["member"], 20003);

  // A filter that is no number is refused in plain words.
  auto [code, refused] = get("/api/cases?group=abc");
  EXPECT_EQ(code, 400);
  EXPECT_THAT(refused["error"].get<std::string>(), HasSubstr("群号"));
}

TEST_F(PanelCasesTest, UndoLiftsTheMuteThroughTheHostAndMarksTheCase) {
  say(101, 20001, "加我微信");
  const std::vector<Json> before = walk("", 10);
  ASSERT_EQ(before.size(), 1u);
  const int64_t id = before[0]["id"];
  host.clear();
  status.set(ConnectionStatus::State::kConnected);

  auto [code, answer] = post("/api/cases/undo", Json{{"id", id}});
  EXPECT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(answer["state"], "done");
  EXPECT_EQ(bans(), std::vector<std::string>{"101 20001 0"});
  const std::vector<Json> after = walk("", 10);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0]["action"], "解除禁言");
  EXPECT_EQ(after[0]["undoes"], id);
  EXPECT_EQ(after[0]["id"], answer["undoCase"]);
  EXPECT_EQ(after[1]["undone"], true);
  EXPECT_EQ(after[1]["canUndo"], false);

  // A second undo, or one of no case, changes nothing and says why.
  for (const Json& body : {Json{{"id", id}}, Json{{"id", 999}}}) {
    auto [again, why] = post("/api/cases/undo", body);
    EXPECT_EQ(again, 409);
    EXPECT_FALSE(why["error"].get<std::string>().empty());
  }
  EXPECT_EQ(bans().size(), 1u);
  auto [bad, badWhy] = post("/api/cases/undo", Json{{"id", "x"}});
  EXPECT_EQ(bad, 400);
}

// Without a connected account (the offline panel, a service waiting for its
// account) a mute cannot be lifted: the list says so, the undo is refused and
// nothing changes. Once connected, the undo goes through and its case names
// the panel (the robot's own account) as the one who undid it.
TEST_F(PanelCasesTest, AMuteIsUndoneOnlyThroughAConnectedAccountAndTheUndoNamesThePanel) {
  say(101, 20001, "加我微信");
  const int64_t id = walk("", 10).at(0)["id"];
  host.clear();

  for (ConnectionStatus::State offline :
       {ConnectionStatus::State::kOffline, ConnectionStatus::State::kWaiting}) {
    SCOPED_TRACE(static_cast<int>(offline));
    status.set(offline);
    auto [code, listed] = get("/api/cases");
    ASSERT_EQ(code, 200) << listed.dump();
    EXPECT_EQ(listed["connected"], false);
    ASSERT_EQ(listed["cases"].size(), 1u);
    EXPECT_EQ(listed["cases"][0]["canUndo"], false);
    EXPECT_EQ(listed["cases"][0]["needsLink"], true);
    EXPECT_THAT(listed["cases"][0]["whyNot"].get<std::string>(), HasSubstr("未连接QQ"));

    auto [refused, why] = post("/api/cases/undo", Json{{"id", id}});
    EXPECT_EQ(refused, 409) << why.dump();
    EXPECT_NE(why["state"], "done");
    EXPECT_THAT(why["error"].get<std::string>(), HasSubstr("未连接QQ"));
    EXPECT_TRUE(bans().empty());
    const std::vector<Json> after = walk("", 10);
    ASSERT_EQ(after.size(), 1u);  // no undo case
    EXPECT_EQ(after[0]["undone"], false);
  }

  status.set(ConnectionStatus::State::kConnected);
  auto [code, answer] = post("/api/cases/undo", Json{{"id", id}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(bans(), std::vector<std::string>{"101 20001 0"});
  const std::vector<Json> after = walk("", 10);
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0]["action"], "解除禁言");
  EXPECT_EQ(after[0]["actor"], 10000);  // the robot's own account: the panel acts through it
  EXPECT_EQ(after[0]["actorText"], "面板");
  EXPECT_THAT(after[0]["reason"].get<std::string>(), HasSubstr("面板撤销"));
  EXPECT_EQ(after[1]["actorText"], "机器人");  // the mute itself, by the rules
  // The export says the same.
  auto res = client().Get("/api/cases/export", {{"Cookie", cookie.first}});
  ASSERT_TRUE(res);
  EXPECT_THAT(res->body, HasSubstr(",面板,"));
}

TEST_F(PanelCasesTest, TheCsvOpensWithABomAndKeepsEveryCellOneCell) {
  say(101, 20001, "=HYPERLINK(\"http://x\",\"加我微信\")");
  say(102, 20002, "加我微信,\r\n第二行");
  auto res = client().Get("/api/cases/export?group=101", {{"Cookie", cookie.first}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_THAT(res->get_header_value("Content-Type"), StartsWith("text/csv"));
  EXPECT_THAT(res->get_header_value("Content-Disposition"), HasSubstr("attachment"));
  const std::string& csv = res->body;
  ASSERT_THAT(csv, StartsWith("\xEF\xBB\xBF编号,时间,群号,QQ号,动作,"));
  // Only group 101's case; its evidence is text, quoted, quotes doubled.
  EXPECT_THAT(csv, HasSubstr(",101,20001,禁言,"));
  EXPECT_EQ(csv.find("20002"), std::string::npos);
  EXPECT_THAT(csv, HasSubstr(",\"'=HYPERLINK(\"\"http://x\"\",\"\"加我微信\"\")\","));
  EXPECT_EQ(csv.find(",=HYPERLINK"), std::string::npos);

  res = client().Get("/api/cases/export", {{"Cookie", cookie.first}});
  ASSERT_TRUE(res);
  EXPECT_THAT(res->body, HasSubstr(",\"加我微信,\r\n第二行\","));
  // Header, two cases: the line break inside the quoted cell is no row.
  size_t rows = 0;
  bool quoted = false;
  for (char c : res->body) {
    if (c == '"') quoted = !quoted;
    if (c == '\n' && !quoted) ++rows;
  }
  EXPECT_EQ(rows, 3u);

  // Without a session nothing is exported.
  res = client().Get("/api/cases/export");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 401);
}

}  // namespace
}  // namespace bw::ui
