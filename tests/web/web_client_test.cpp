#include "web/web_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "web/local_http_server.h"

namespace bw {
namespace {

using test::HttpResponse;
using test::LocalHttpServer;
using test::RawRequest;

constexpr const char* kUserAgent =
    "Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/45.0.2454.101 Safari/537.36";

std::vector<std::string> HeaderNames(const RawRequest& r) {
  std::vector<std::string> names;
  for (const auto& h : r.headers) names.push_back(h.first);
  return names;
}

LocalHttpServer::Handler Answer(std::string response) {
  return [response](const RawRequest&) { return response; };
}

TEST(WebClientHeaders, EmptyExtraHeadersGetExactlyTheDefaults) {
  LocalHttpServer server(Answer(HttpResponse(200, "ok")));
  WebClient client;
  WebRequest r;
  r.url = server.url("/page?x=1");
  EXPECT_EQ(client.send(r), "ok");
  EXPECT_EQ(r.status, 200);

  EXPECT_EQ(r.extraHeaders, "Accept: */*\r\nReferer: " + r.url +
                                "\r\nAccept-Language: zh-cn\r\nUser-Agent:" + kUserAgent +
                                "\r\nContent-Type: application/x-www-form-urlencoded");
  ASSERT_EQ(server.requests().size(), 1u);
  RawRequest got = server.requests()[0];
  EXPECT_EQ(got.method, "GET");
  EXPECT_EQ(got.target, "/page?x=1");
  EXPECT_EQ(HeaderNames(got),
            (std::vector<std::string>{"Host", "Accept", "Referer", "Accept-Language", "User-Agent",
                                      "Content-Type"}));
  EXPECT_EQ(got.header("Accept"), "*/*");
  EXPECT_EQ(got.header("Referer"), r.url);
  EXPECT_EQ(got.header("Accept-Language"), "zh-cn");
  EXPECT_EQ(got.header("User-Agent"), kUserAgent);
  EXPECT_EQ(got.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(got.body, "");
}

TEST(WebClientHeaders, GivenRefererAndUserAgentAreKeptAndOnlyTheOthersAdded) {
  LocalHttpServer server(Answer(HttpResponse(200, "")));
  WebClient client;
  WebRequest r;
  r.url = server.url("/p");
  r.extraHeaders = "Referer: http://qun.example/index.html\r\nUser-Agent: Tester/1.0";
  client.send(r);
  EXPECT_EQ(r.extraHeaders,
            "Referer: http://qun.example/index.html\r\nUser-Agent: Tester/1.0"
            "\r\nAccept: */*\r\nAccept-Language: zh-cn"
            "\r\nContent-Type: application/x-www-form-urlencoded");
  RawRequest got = server.requests().at(0);
  EXPECT_EQ(got.header("Referer"), "http://qun.example/index.html");
  EXPECT_EQ(got.header("User-Agent"), "Tester/1.0");
  EXPECT_EQ(got.headerCount("Referer") + got.headerCount("User-Agent"), 2u);
}

TEST(WebClientHeaders, LowerCaseRefererDoesNotSuppressTheDefaultLine) {
  LocalHttpServer server(Answer(HttpResponse(200, "")));
  WebClient client;
  WebRequest r;
  r.url = server.url("/p");
  r.extraHeaders = "referer: http://lower.example/";
  client.send(r);
  EXPECT_NE(r.extraHeaders.find("\r\nReferer: " + r.url), std::string::npos) << r.extraHeaders;
  // Both lines set the same header; the later one (the default) is sent, once.
  RawRequest got = server.requests().at(0);
  size_t referers = 0;
  for (const auto& [name, value] : got.headers) {
    if (strcasecmp(name.c_str(), "referer") == 0) {
      ++referers;
      EXPECT_EQ(value, r.url);
    }
  }
  EXPECT_EQ(referers, 1u);
}

TEST(WebClientHeaders, BlanksAroundNamesAndValuesAreTrimmedAndNamelessLinesSkipped) {
  LocalHttpServer server(Answer(HttpResponse(200, "")));
  WebClient client;
  WebRequest r;
  r.url = server.url("/p");
  r.extraHeaders = "  X-One \xE3\x80\x80:\xE3\x80\x80 value one  \r\nno colon here\r\n\r\nX-Two:2";
  client.send(r);
  RawRequest got = server.requests().at(0);
  EXPECT_EQ(got.header("X-One"), "value one");
  EXPECT_EQ(got.header("X-Two"), "2");
  for (const auto& h : got.headers) EXPECT_EQ(h.first.find("no colon"), std::string::npos);
}

TEST(WebClientMethods, OutOfRangeIsGetPostSendsBodyHeadSendsNone) {
  LocalHttpServer server(Answer(HttpResponse(200, "body")));
  WebClient client;

  WebRequest seven;
  seven.url = server.url("/seven");
  seven.method = 7;
  client.send(seven);

  WebRequest post;
  post.url = server.url("/post");
  post.method = 1;
  post.body = "a=1&b=%E4%BD%9C";
  client.send(post);

  WebRequest bytes;
  bytes.url = server.url("/bytes");
  bytes.method = 1;
  bytes.body = "ignored";
  bytes.bodyBytes = std::string("\x00\x01\xFF", 3);
  client.send(bytes);

  WebRequest head;
  head.url = server.url("/head");
  head.method = 2;
  EXPECT_EQ(client.send(head), "");
  EXPECT_EQ(head.status, 200);

  auto got = server.requests();
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0].method, "GET");
  EXPECT_EQ(got[1].method, "POST");
  EXPECT_EQ(got[1].body, "a=1&b=%E4%BD%9C");
  EXPECT_EQ(got[1].header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(got[2].body, std::string("\x00\x01\xFF", 3));
  EXPECT_EQ(got[3].method, "HEAD");
  EXPECT_EQ(got[3].header("Content-Type"), "application/x-www-form-urlencoded");
}

TEST(WebClientResponse, BodyBytesArriveUnchanged) {
  const std::string image("\x89PNG\r\n\x1a\n\x00\xFF\xFE tail", 16);
  LocalHttpServer server(Answer(HttpResponse(200, image, {"Content-Type: image/png"})));
  WebClient client;
  WebRequest r;
  r.url = server.url("/img");
  EXPECT_EQ(client.send(r), image);
  EXPECT_EQ(r.responseBody, image);
  EXPECT_NE(r.responseHeaders.find("Content-Type: image/png"), std::string::npos);
}

TEST(WebClientCookies, SetCookieLinesAreNormalisedCollectedAndMerged) {
  LocalHttpServer server(
      Answer(HttpResponse(200, "",
                          {"set-cookie: a=1; path=/", "Set-Cookie: b=2",
                           "X-Note: see Set-Cookie: z=9", "SET-COOKIE:  c=3  "})));
  WebClient client;
  WebRequest r;
  r.url = server.url("/login");
  r.cookies = "x=9";
  client.send(r);
  EXPECT_EQ(server.requests().at(0).header("Cookie"), "x=9");
  EXPECT_EQ(r.newCookies, "a=1; b=2; c=3");
  EXPECT_EQ(r.cookies, "x=9;a=1;b=2;c=3;");
  EXPECT_NE(r.responseHeaders.find("Set-Cookie: a=1; path=/"), std::string::npos);
  EXPECT_NE(r.responseHeaders.find("Set-Cookie:  c=3  "), std::string::npos);
  EXPECT_EQ(r.responseHeaders.find("set-cookie"), std::string::npos);
  EXPECT_EQ(r.responseHeaders.find("SET-COOKIE"), std::string::npos);
}

TEST(WebClientCookies, WithoutCookiesSentTheNewOnesAreStillMerged) {
  LocalHttpServer server(Answer(HttpResponse(200, "", {"Set-Cookie: skey=@abc; Path=/"})));
  WebClient client;
  WebRequest r;
  r.url = server.url("/");
  client.send(r);
  EXPECT_FALSE(server.requests().at(0).header("Cookie").has_value());
  EXPECT_EQ(r.cookies, "skey=@abc;");
}

TEST(WebClientCookies, CollectionOfHeaderTexts) {
  using web_detail::CollectNewCookies;
  EXPECT_EQ(CollectNewCookies("Set-Cookie: c=3"), "c=3");
  EXPECT_EQ(CollectNewCookies("Content-Type: text/html\r\nSet-Cookie: d=4;Path=/\r\nSet-Cookie:"),
            "d=4");
  EXPECT_EQ(CollectNewCookies(""), "");
  EXPECT_EQ(web_detail::NormaliseSetCookieNames("sEt-CoOkIe: q=1\r\nX-Set-Cookie: r=2"),
            "Set-Cookie: q=1\r\nX-Set-Cookie: r=2");
}

TEST(MergeCookies, CasesOfTheMerge) {
  struct Case {
    std::string old, fresh, merged;
  };
  const Case cases[] = {
      {"x=9", "a=1; b=2", "x=9;a=1;b=2;"},
      {"x=9;", "gone=deleted", "x=9;"},                // deleted and not known: never appears
      {"a = 1; b=2 ", "", "a=1;b=2"},                  // empty new: blanks removed, nothing else
      {"x=1;y=2;", "x=3", "x=3;y=2;"},                 // same name: replaced in place
      {"x=1;y=2;", "x=deleted", "y=2;"},               // same name, deleted: dropped
      {"x=1;y=2;", "x=", "x=1;y=2;"},                  // an empty new value never replaces
      {"x=1;", "y", "x=1;"},                           // a pair without value is not written
      {"a;b=2;=3", "c=3", "b=2;c=3;"},                 // nameless and valueless old items dropped
      {"k=a=b;", "k=c=d", "k=c=d;"},                   // value is everything after the first "="
      {"p=1", "q=2;q=3", "p=1;q=3;"},                  // a repeated new name updates its own pair
      {"u=1\xE3\x80\x80;v=2", "w=3", "u=1;v=2;w=3;"},  // full-width blanks removed
      {"", "", ""},
  };
  for (const Case& c : cases) {
    std::string old = c.old;
    std::string fresh = c.fresh;
    EXPECT_EQ(mergeCookies(old, fresh), c.merged) << c.old << " + " << c.fresh;
    EXPECT_EQ(old, c.merged) << "stored back";
    EXPECT_EQ(fresh.find(' '), std::string::npos);
  }
  std::string old = "a=1";
  std::string fresh = "b=2; c=3";
  mergeCookies(old, fresh);
  EXPECT_EQ(fresh, "b=2;c=3");
}

TEST(CookieJar, ConcurrentRequestsKeepEveryCookie) {
  std::atomic<int> n{0};
  LocalHttpServer server([&](const RawRequest&) -> std::optional<std::string> {
    int i = n++;
    return HttpResponse(200, "", {"Set-Cookie: k" + std::to_string(i) + "=v; path=/"});
  });
  WebClient client;
  CookieJar jar("base=1;");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 5; ++i) {
        WebRequest r;
        r.url = server.url("/c");
        client.send(r, jar);
      }
    });
  }
  for (auto& t : threads) t.join();
  std::string text = jar.text();
  EXPECT_TRUE(text.starts_with("base=1;")) << text;
  for (int i = 0; i < 20; ++i) {
    EXPECT_NE(text.find("k" + std::to_string(i) + "=v;"), std::string::npos) << i << " " << text;
  }
}

TEST(WebClientFailure, NeverAnsweringServerTimesOutWithEmptyResults) {
  LocalHttpServer server([](const RawRequest&) { return std::optional<std::string>(); });
  WebClient client;
  WebRequest r;
  r.url = server.url("/hang");
  r.cookies = "a = 1; b=2";
  r.timeoutSeconds = 1;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.send(r), "");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_GE(elapsed, std::chrono::milliseconds(900));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.responseHeaders, "");
  EXPECT_EQ(r.newCookies, "");
  EXPECT_EQ(r.cookies, "a=1;b=2");
}

TEST(WebClientFailure, RefusedConnectionGivesEmptyResults) {
  int port;
  {
    LocalHttpServer gone(Answer(HttpResponse(200, "")));
    port = gone.port();
  }
  WebClient client;
  WebRequest r;
  r.url = "http://127.0.0.1:" + std::to_string(port) + "/";
  r.timeoutSeconds = 2;
  EXPECT_EQ(client.send(r), "");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.extraHeaders.find("Accept: */*"), std::string::npos);
}

TEST(WebClientTimeouts, MappingOfTimeoutSeconds) {
  using web_detail::EffectiveTimeout;
  EXPECT_EQ(EffectiveTimeout(-1), std::nullopt);
  EXPECT_EQ(EffectiveTimeout(0), Millis(15000));
  EXPECT_EQ(EffectiveTimeout(-7), Millis(15000));
  EXPECT_EQ(EffectiveTimeout(5), Millis(5000));
  EXPECT_EQ(EffectiveTimeout(3000000), Millis(3000000000LL));
}

TEST(WebClientProxy, RequestGoesToTheProxyWithBasicCredentials) {
  LocalHttpServer proxy(Answer(HttpResponse(200, "via proxy")));
  WebClient client;
  WebRequest r;
  r.url = "http://service.invalid/path?q=1";
  r.proxy = "127.0.0.1:" + std::to_string(proxy.port());
  r.proxyUser = "user";
  r.proxyPassword = "pass";
  EXPECT_EQ(client.send(r), "via proxy");

  WebRequest other = r;
  other.proxyAuthMode = 2;
  client.send(other);

  auto got = proxy.requests();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].target, "http://service.invalid/path?q=1");
  EXPECT_EQ(got[0].header("Proxy-Authorization"), "Basic dXNlcjpwYXNz");
  EXPECT_EQ(got[0].headerCount("Proxy-Authorization"), 1u);
  EXPECT_FALSE(got[1].header("Proxy-Authorization").has_value());
}

TEST(WebClientProxy, Base64OfTheStandardVectors) {
  using web_detail::Base64Encode;
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(Base64Encode("fooba"), "Zm9vYmE=");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xFF\xFE"), "//4=");
}

TEST(WebClientRedirects, NoRedirectStopsAtTheFirstAnswer) {
  LocalHttpServer server([](const RawRequest& r) -> std::optional<std::string> {
    if (r.target == "/from") {
      return HttpResponse(302, "moved", {"Location: /to", "Set-Cookie: hop=1"});
    }
    return HttpResponse(200, "arrived", {"Set-Cookie: end=2"});
  });
  WebClient client;

  WebRequest stay;
  stay.url = server.url("/from");
  stay.noRedirect = true;
  EXPECT_EQ(client.send(stay), "moved");
  EXPECT_EQ(stay.status, 302);
  EXPECT_EQ(stay.newCookies, "hop=1");

  WebRequest follow;
  follow.url = server.url("/from");
  EXPECT_EQ(client.send(follow), "arrived");
  EXPECT_EQ(follow.status, 200);
  EXPECT_EQ(follow.responseHeaders.find("Location"), std::string::npos);
  EXPECT_EQ(follow.newCookies, "end=2");
  EXPECT_EQ(server.requests().size(), 3u);
}

// A transport that fails by throwing must not take the caller down.
class ThrowingTransport : public HttpTransport {
 public:
  TransportResponse perform(const TransportRequest&) override { throw std::runtime_error("boom"); }
};

TEST(WebClientFailure, TransportExceptionsAreNotThrownToCallers) {
  WebClient client(std::make_shared<ThrowingTransport>());
  WebRequest r;
  r.url = "http://127.0.0.1:1/";
  r.cookies = "a=1; b=2";
  EXPECT_NO_THROW(EXPECT_EQ(client.send(r), ""));
  EXPECT_EQ(r.cookies, "a=1;b=2");
}

}  // namespace
}  // namespace bw
