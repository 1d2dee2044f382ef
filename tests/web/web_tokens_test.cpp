#include "web/web_tokens.h"

#include <gtest/gtest.h>

#include <thread>

#include "host/recording_host.h"

namespace bw {
namespace {

TEST(Gtk, KnownValues) {
  EXPECT_EQ(gtk(""), "5381");
  EXPECT_EQ(gtk("abc"), "193485963");
  EXPECT_EQ(gtk("a"), "177670");  // 5381 * 33 + 97
}

TEST(Gtk, LongTextsNeverGiveANegativeNumber) {
  std::string text;
  for (int i = 0; i < 2000; ++i) {
    text += static_cast<char>('!' + i % 90);
    const std::string h = gtk(text);
    ASSERT_FALSE(h.empty());
    ASSERT_NE(h[0], '-') << text.size();
    ASSERT_LE(std::stoll(h), 0x7FFFFFFFLL);
  }
}

TEST(Gtk, ComputedOnTheGbkBytesOfTheText) {
  // 天 is two GBK bytes (three in UTF-8); each lone byte decodes to U+FFFD.
  uint32_t h = 5381;
  for (int i = 0; i < 2; ++i) h = h * 33 + 0xFFFD;
  EXPECT_EQ(gtk("天"), std::to_string(h & 0x7FFFFFFF));
  EXPECT_EQ(gtk("x天"), gtk(std::string("x") + "地"));  // same byte count, same hash
  EXPECT_NE(gtk("天"), gtk("天天"));
}

TEST(LoginAccount, FromTheUinPair) {
  EXPECT_EQ(loginAccountFromCookies("skey=@x;uin=o0123456;p_skey=y;"), "123456");
  EXPECT_EQ(loginAccountFromCookies("uin=o987654321;skey=z;"), "987654321");
  EXPECT_EQ(loginAccountFromCookies("skey=@x; uin=o0123456"), "123456");  // last pair, no ";"
  EXPECT_EQ(loginAccountFromCookies("skey=@x;"), "");
  EXPECT_EQ(loginAccountFromCookies(""), "");
}

TEST(WebTokens, LoadTakesCookiesAndSignedTokenFromTheHost) {
  RecordingHost host;
  host.setCookies("uin=o0424242; skey=@abc");
  host.setCsrfToken(-123456789);
  WebTokens tokens;
  tokens.setBkn("stale");
  tokens.load(host);
  EXPECT_EQ(tokens.loginCookies(), "uin=o0424242; skey=@abc");
  EXPECT_EQ(tokens.bkn(), "-123456789");
  EXPECT_EQ(tokens.loginAccountFromCookies(), "424242");

  host.setCookies("");
  host.setCsrfToken(77);
  tokens.load(host);
  EXPECT_EQ(tokens.loginCookies(), "");
  EXPECT_EQ(tokens.bkn(), "77");
}

TEST(WebTokens, ConcurrentMergesIntoTheLoginCookiesLoseNothing) {
  WebTokens tokens;
  tokens.setLoginCookies("uin=o01;");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&tokens, t] {
      for (int i = 0; i < 200; ++i) {
        tokens.cookieJar().merge("t" + std::to_string(t) + "_" + std::to_string(i) + "=1");
      }
    });
  }
  for (auto& t : threads) t.join();
  const std::string text = tokens.loginCookies();
  for (int t = 0; t < 4; ++t) {
    for (int i = 0; i < 200; ++i) {
      ASSERT_NE(text.find(";t" + std::to_string(t) + "_" + std::to_string(i) + "=1;"),
                std::string::npos);
    }
  }
}

}  // namespace
}  // namespace bw
