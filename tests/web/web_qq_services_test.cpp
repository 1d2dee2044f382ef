#include "web/web_qq_services.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "util/charset.h"
#include "util/text.h"
#include "web/local_http_server.h"

namespace bw {
namespace {

using test::HttpResponse;
using test::LocalHttpServer;
using test::RawRequest;

std::string Path(const RawRequest& r) { return r.target.substr(0, r.target.find('?')); }

// A stand-in for all six services: answers by path from `answers`, 404 else.
class QqServicesTest : public ::testing::Test {
 protected:
  QqServicesTest()
      : server_([this](const RawRequest& r) -> std::optional<std::string> {
          std::lock_guard lock(mu_);
          auto found = answers_.find(Path(r));
          if (found == answers_.end()) return HttpResponse(404, "");
          return found->second;
        }),
        services_(client_, tokens_, Urls()) {
    tokens_.setLoginCookies("uin=o0424242; skey=@key");
    tokens_.setBkn("-5");
  }

  WebServiceUrls Urls() const {
    WebServiceUrls u;
    u.portrait = u.avatar = u.membership = u.group = u.announcement = u.homeworkFeedback =
        server_.base();
    return u;
  }

  void answer(const std::string& path, std::string response) {
    std::lock_guard lock(mu_);
    answers_[path] = std::move(response);
  }

  std::mutex mu_;
  std::map<std::string, std::string> answers_;
  LocalHttpServer server_;
  WebClient client_;
  WebTokens tokens_;
  WebQqServices services_;
};

TEST(WebServiceUrls, EveryServiceIsReachedOverHttps) {
  // The requests carry the session cookies: never in clear text.
  const WebServiceUrls u;
  for (const std::string* url :
       {&u.portrait, &u.avatar, &u.membership, &u.group, &u.announcement, &u.homeworkFeedback})
    EXPECT_TRUE(url->starts_with("https://")) << *url;
}

// The program's web services follow BW_WEB_BASE, all six of them: the suite
// points it at loopback so that no test of the program reaches the internet.
TEST_F(QqServicesTest, TheEnvironmentsBaseTakesEveryServiceAndUnsetLeavesTheDefaults) {
  const char* before = std::getenv("BW_WEB_BASE");
  const std::string saved = before ? before : "";
  ::unsetenv("BW_WEB_BASE");
  const WebServiceUrls defaults = WebServiceUrls::FromEnvironment();
  EXPECT_EQ(defaults.portrait, WebServiceUrls().portrait);
  EXPECT_EQ(defaults.group, WebServiceUrls().group);

  ::setenv("BW_WEB_BASE", (server_.base() + "/").c_str(), 1);
  const WebServiceUrls urls = WebServiceUrls::FromEnvironment();
  if (before)
    ::setenv("BW_WEB_BASE", saved.c_str(), 1);
  else
    ::unsetenv("BW_WEB_BASE");
  for (const std::string* url : {&urls.portrait, &urls.avatar, &urls.membership, &urls.group,
                                 &urls.announcement, &urls.homeworkFeedback})
    EXPECT_EQ(*url, server_.base());
  answer("/fcg-bin/cgi_get_portrait.fcg",
         HttpResponse(200, R"(portraitCallBack({"10001":["u",-1,-1,-1,0,0,0,"小明",0]}))"));
  WebQqServices services(client_, tokens_, urls);
  EXPECT_EQ(services.fetchNickname("10001"), "小明");
  EXPECT_EQ(Path(server_.requests().at(0)), "/fcg-bin/cgi_get_portrait.fcg");
}

TEST_F(QqServicesTest, NicknameFromThePortraitAnswer) {
  answer("/fcg-bin/cgi_get_portrait.fcg",
         HttpResponse(200,
                      R"(portraitCallBack({"10001":["http://p/1.jpg",-1,-1,-1,0,0,0,"小明",0]}))"));
  EXPECT_EQ(services_.fetchNickname("10001"), "小明");
  RawRequest got = server_.requests().at(0);
  EXPECT_EQ(got.method, "GET");
  EXPECT_EQ(got.target, "/fcg-bin/cgi_get_portrait.fcg?uins=10001");
  EXPECT_FALSE(got.header("Cookie").has_value());

  // The service answers in GBK.
  answer("/fcg-bin/cgi_get_portrait.fcg",
         HttpResponse(200, Utf8ToGbk(R"(portraitCallBack({"1":["u",0,"青榆",0]}))")));
  EXPECT_EQ(services_.fetchNickname("1"), "青榆");

  answer("/fcg-bin/cgi_get_portrait.fcg", HttpResponse(200, R"(portraitCallBack({"1":[]}))"));
  EXPECT_EQ(services_.fetchNickname("1"), "");
  answer("/fcg-bin/cgi_get_portrait.fcg", HttpResponse(502, ""));
  EXPECT_EQ(services_.fetchNickname("1"), "");
}

TEST_F(QqServicesTest, OwnAvatarForTheAccountInTheCookies) {
  const std::string image("\xFF\xD8\xFF\xE0 jpeg \x00 bytes", 16);
  answer("/headimg_dl", HttpResponse(200, image, {"Content-Type: image/jpeg"}));
  EXPECT_EQ(services_.fetchOwnAvatar(), image);
  RawRequest got = server_.requests().at(0);
  EXPECT_EQ(got.target,
            "/headimg_dl?bs=424242&dst_uin=424242&dst_uin=424242&dst_uin=424242&spec=100"
            "&url_enc=0&referer=bu_interface&term_type=PC");
  EXPECT_FALSE(got.header("Cookie").has_value());

  answer("/headimg_dl", HttpResponse(404, "<html>not found</html>"));
  EXPECT_EQ(services_.fetchOwnAvatar(), "");

  tokens_.setLoginCookies("skey=@key;");
  EXPECT_EQ(services_.fetchOwnAvatar(), "");
  EXPECT_EQ(server_.requests().size(), 2u);  // no request without an account
}

TEST_F(QqServicesTest, QqLevelWithTheLoginCookiesAndToken) {
  answer("/flow/flow1550", HttpResponse(200, R"(handleClient({"ret":0,"qq_level":"32","x":"1"}))",
                                        {"Set-Cookie: p_skey=fresh; Path=/"}));
  EXPECT_EQ(services_.fetchQqLevel("10001"), "32");
  RawRequest got = server_.requests().at(0);
  EXPECT_EQ(got.target,
            "/flow/flow1550?g_tk_type=1&f_uin=10001&sid=&g_tk=-5&p_tk=&callback=handleClient");
  EXPECT_EQ(got.header("Cookie"), "uin=o0424242; skey=@key");
  // The server's cookie joined the login cookies for the next request.
  EXPECT_EQ(tokens_.loginCookies(), "uin=o0424242;skey=@key;p_skey=fresh;");

  answer("/flow/flow1550", HttpResponse(200, R"(handleClient({"ret":-1}))"));
  EXPECT_EQ(services_.fetchQqLevel("10001"), "");
  EXPECT_EQ(server_.requests().at(1).header("Cookie"), "uin=o0424242;skey=@key;p_skey=fresh;");
}

TEST_F(QqServicesTest, GroupListFromTheThreeArrays) {
  answer("/cgi-bin/qun_mgr/get_group_list",
         HttpResponse(200,
                      R"({"ec":0,"create":[{"gc":111111,"gn":"青榆一群","owner":424242}],)"
                      R"("join":[],)"
                      R"("manage":[{"gc":222222,"gn":"管理的群","owner":10001},)"
                      R"({"gc":111111,"gn":"青榆一群","owner":424242}]})",
                      {"Content-Type: application/json; charset=utf-8"}));
  std::vector<GroupListEntry> entries{{"stale", "", "", ""}};
  EXPECT_EQ(services_.fetchGroupList(entries), 3);
  EXPECT_EQ(entries, (std::vector<GroupListEntry>{{"111111", "青榆一群", "424242", "群主"},
                                                  {"222222", "管理的群", "10001", "管理员"},
                                                  {"111111", "青榆一群", "424242", "管理员"}}));
  RawRequest got = server_.requests().at(0);
  EXPECT_EQ(got.method, "POST");
  EXPECT_EQ(got.target, "/cgi-bin/qun_mgr/get_group_list");
  EXPECT_EQ(got.body, "bkn=-5");
  EXPECT_EQ(got.header("Cookie"), "uin=o0424242; skey=@key");

  answer("/cgi-bin/qun_mgr/get_group_list",
         HttpResponse(200, R"({"join":[{"gc":333333,"gn":"加入的群","owner":5}]})"));
  EXPECT_EQ(services_.fetchGroupList(entries), 1);
  EXPECT_EQ(entries.at(0).role, "成员");

  answer("/cgi-bin/qun_mgr/get_group_list", HttpResponse(200, "<html>busy</html>"));
  EXPECT_EQ(services_.fetchGroupList(entries), 0);
  EXPECT_TRUE(entries.empty());

  entries.push_back({"x", "", "", ""});
  answer("/cgi-bin/qun_mgr/get_group_list", HttpResponse(200, ""));
  EXPECT_EQ(services_.fetchGroupList(entries), 0);
  EXPECT_TRUE(entries.empty());
}

TEST_F(QqServicesTest, AnnouncementAndGroupRules) {
  answer("/cgi-bin/announce/add_qun_notice", HttpResponse(200, R"({"ec":0,"id":"a1"})"));
  answer("/cgi-bin/announce/add_qun_instruction", HttpResponse(200, R"({"ec":1,"em":"denied"})"));

  std::string title = "通知 A_1";
  EXPECT_TRUE(services_.postAnnouncement("123456", title, "明天 9:00", false));
  EXPECT_EQ(title, "通知 A_1");
  EXPECT_FALSE(services_.postAnnouncement("123456", title, "规则", true));
  EXPECT_EQ(title, "本群须知");

  auto got = server_.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].target, "/cgi-bin/announce/add_qun_notice");
  EXPECT_EQ(got[0].body,
            "bkn=-5&qid=123456&title=" + UrlEncode("通知 A_1") + "&text=" + UrlEncode("明天 9:00"));
  EXPECT_EQ(got[0].header("Cookie"), "uin=o0424242; skey=@key");
  EXPECT_EQ(got[1].target, "/cgi-bin/announce/add_qun_instruction");
  EXPECT_EQ(got[1].body,
            "bkn=-5&qid=123456&title=" + UrlEncode("本群须知") + "&text=" + UrlEncode("规则"));

  // Only an error code 0 followed by another field counts.
  answer("/cgi-bin/announce/add_qun_notice", HttpResponse(200, R"({"ec":0})"));
  EXPECT_FALSE(services_.postAnnouncement("123456", title, "x", false));
  answer("/cgi-bin/announce/add_qun_notice", HttpResponse(200, R"({"ec":10,"x":1})"));
  EXPECT_FALSE(services_.postAnnouncement("123456", title, "x", false));
  answer("/cgi-bin/announce/add_qun_notice", HttpResponse(500, ""));
  EXPECT_FALSE(services_.postAnnouncement("123456", title, "x", false));
}

TEST_F(QqServicesTest, HomeworkWithReminder) {
  answer("/cgi-bin/homework/hw/assign_hw.fcg",
         HttpResponse(200, R"({"ec":0,"hw_id":778899,"x":1})"));
  answer("/cgi-bin/homework/fb/msg_remind.fcg", HttpResponse(200, R"({"ec":0})"));
  EXPECT_TRUE(services_.postHomework("123456", "语文", "第一行\r\n第二行", true, "111,222"));

  auto got = server_.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].target, "/cgi-bin/homework/hw/assign_hw.fcg");
  EXPECT_EQ(got[0].body,
            "homework_id=&group_id=123456&course_id=100&course_name=%E8%AF%AD%E6%96%87"
            "&title=%E4%BD%9C%E4%B8%9A&need_feedback=0"
            "&c=%7B%22c%22%3A%5B%7B%22type%22%3A%22str%22%2C%22text%22%3A%22" +
                UrlEncode("第一行") + "%5Cn" + UrlEncode("第二行") +
                "%22%7D%5D%7D&team_id=0&hw_type=0&tsfeedback=&syncgids=%5B111%2C222%5D"
                "&client_type=1&bkn=-5");
  EXPECT_EQ(got[0].header("Cookie"), "uin=o0424242; skey=@key");
  EXPECT_NE(got[0].header("User-Agent").value_or("").find("Chrome/45.0.2454.101"),
            std::string::npos);  // default headers

  EXPECT_EQ(got[1].target, "/cgi-bin/homework/fb/msg_remind.fcg");
  EXPECT_EQ(got[1].body, "gid=123456&hw_id=778899&remind_type=1&client_type=1&bkn=-5");
  EXPECT_EQ(got[1].header("Referer"), server_.base() + "/homework/p/features/index.html");
  EXPECT_EQ(got[1].header("User-Agent"),
            "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
            "Chrome/29.0.1547.59 QQ/8.9.2.20760 Safari/537.36");
  EXPECT_EQ(got[1].header("Accept"), "*/*");
}

TEST_F(QqServicesTest, HomeworkWithoutIdFailsButStillReminds) {
  answer("/cgi-bin/homework/hw/assign_hw.fcg", HttpResponse(200, R"({"ec":1,"em":"no right"})"));
  EXPECT_FALSE(services_.postHomework("123456", "数学", "x", true, ""));
  auto got = server_.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].body, "gid=123456&hw_id=&remind_type=1&client_type=1&bkn=-5");

  EXPECT_FALSE(services_.postHomework("123456", "数学", "x", false, ""));
  EXPECT_EQ(server_.requests().size(), 3u);  // no reminder asked for
}

TEST(HomeworkBody, QuotesAndBackslashesKeepTheServicesJsonWhole) {
  const std::string body = HomeworkBody("1", "c", "say \"hi\" \\ ok\nend\rx\t", "", "7");
  const std::string text = TextBetween(body, "%22text%22%3A%22", "%22%7D%5D%7D");
  EXPECT_EQ(text, "say%20%5C%22hi%5C%22%20%5C%5C%20ok%5Cnend%5Cnx%5Ct");
}

TEST(UrlEncode, FormValueCases) {
  EXPECT_EQ(UrlEncode(" "), "%20");
  EXPECT_EQ(UrlEncode("_"), "%5F");
  EXPECT_EQ(UrlEncode("~"), "%7E");
  EXPECT_EQ(UrlEncode("作业"), "%E4%BD%9C%E4%B8%9A");
  EXPECT_EQ(UrlEncode("天"), "%E5%A4%A9");
  EXPECT_EQ(UrlEncode("a b/c"), "a%20b%2Fc");
  EXPECT_EQ(UrlEncode("-.09AZaz"), "-.09AZaz");
  EXPECT_EQ(UrlEncode(""), "");
  EXPECT_EQ(UrlEncode("a+b&c=d"), "a%2Bb%26c%3Dd");
}

}  // namespace
}  // namespace bw
