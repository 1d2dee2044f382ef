// Who may use the settings panel: the token file, the rate limit on logins,
// sessions, and the Host and Origin checks.
#include "ui/panel_auth.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.h"
#include "util/files.h"

namespace bw::ui {
namespace {

TEST(PanelAuthTest, TheFirstStartWritesAPrivateTokenThatLaterStartsReuse) {
  test::TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  const std::string file = dir.file("panel.token");
  PanelAuth first(clock);
  ASSERT_TRUE(first.loadOrCreateToken(file).ok());
  EXPECT_EQ(first.token().size(), 64u);
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(test::ReadAll(file), first.token() + "\n");

  PanelAuth second(clock);
  ASSERT_TRUE(second.loadOrCreateToken(file).ok());
  EXPECT_EQ(second.token(), first.token());
  EXPECT_NE(RandomToken(), RandomToken());
}

TEST(PanelAuthTest, ATokenFileOthersMayReadOrThatHoldsNoTokenIsRefused) {
  test::TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  const std::string file = dir.file("panel.token");
  test::WriteAll(file, "0123456789abcdef0123456789abcdef\n");
  ::chmod(file.c_str(), 0644);
  PanelAuth auth(clock);
  const Status readable = auth.loadOrCreateToken(file);
  EXPECT_FALSE(readable.ok());
  EXPECT_NE(readable.message().find("644"), std::string::npos) << readable.message();
  EXPECT_EQ(auth.token(), "");
  // Nothing logs in with an empty secret.
  EXPECT_EQ(auth.login("", "127.0.0.1", nullptr), LoginResult::kWrongToken);

  ::chmod(file.c_str(), 0600);
  test::WriteAll(file, "secret words\n");
  ::chmod(file.c_str(), 0600);
  EXPECT_FALSE(auth.loadOrCreateToken(file).ok());
  EXPECT_EQ(test::ReadAll(file), "secret words\n");  // left as it was
}

TEST(PanelAuthTest, FailedLoginsAreLimitedForAMinute) {
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  PanelAuth auth(clock);
  auth.setToken("0123456789abcdef0123456789abcdef");
  for (int i = 0; i < PanelAuth::kMaxFailures; ++i) {
    EXPECT_EQ(auth.login("0123456789abcdef0123456789abcdee", "127.0.0.1", nullptr),
              LoginResult::kWrongToken);
    clock.advance(std::chrono::seconds(1));
  }
  // Even the right token waits: a guesser cannot tell the limit from a miss.
  EXPECT_EQ(auth.login("0123456789abcdef0123456789abcdef", "127.0.0.1", nullptr),
            LoginResult::kRateLimited);
  clock.advance(std::chrono::seconds(55));  // the first failure leaves the window
  PanelSession s;
  EXPECT_EQ(auth.login("0123456789abcdef0123456789abcdef", "127.0.0.1", &s), LoginResult::kOk);
  EXPECT_EQ(s.id.size(), 64u);
  EXPECT_EQ(s.csrf.size(), 64u);
  EXPECT_NE(s.id, s.csrf);
}

TEST(PanelAuthTest, SessionsAreFoundByCookieAndCloseOnLogoutOrIdleness) {
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  PanelAuth auth(clock);
  auth.setToken("0123456789abcdef0123456789abcdef");
  PanelSession a, b;
  ASSERT_EQ(auth.login("0123456789abcdef0123456789abcdef", "127.0.0.1", &a), LoginResult::kOk);
  ASSERT_EQ(auth.login("0123456789abcdef0123456789abcdef", "127.0.0.1", &b), LoginResult::kOk);
  ASSERT_TRUE(auth.find(a.id));
  EXPECT_EQ(auth.find(a.id)->csrf, a.csrf);
  EXPECT_FALSE(auth.find(""));
  EXPECT_FALSE(auth.find(a.csrf));
  auth.logout(a.id);
  EXPECT_FALSE(auth.find(a.id));
  clock.advance(PanelAuth::kSessionIdle - std::chrono::seconds(1));
  EXPECT_TRUE(auth.find(b.id));  // a use keeps it open
  clock.advance(PanelAuth::kSessionIdle);
  EXPECT_FALSE(auth.find(b.id));
}

TEST(PanelAuthTest, OnlyThisPanelsHostAndOriginPass) {
  EXPECT_TRUE(HostAllowed("127.0.0.1:8077", 8077));
  EXPECT_TRUE(HostAllowed("localhost:8077", 8077));
  EXPECT_TRUE(HostAllowed("[::1]:8077", 8077));
  EXPECT_FALSE(HostAllowed("127.0.0.1:8078", 8077));
  EXPECT_FALSE(HostAllowed("127.0.0.1", 8077));
  EXPECT_FALSE(HostAllowed("", 8077));
  EXPECT_FALSE(HostAllowed("rebind.example:8077", 8077));  // DNS rebinding
  EXPECT_FALSE(HostAllowed("127.0.0.1.rebind.example:8077", 8077));
  EXPECT_TRUE(HostAllowed("panel.example:8077", 8077, "panel.example"));

  EXPECT_TRUE(OriginAllowed("http://127.0.0.1:8077", 8077));
  EXPECT_FALSE(OriginAllowed("http://127.0.0.1:9000", 8077));  // another local port
  EXPECT_FALSE(OriginAllowed("https://127.0.0.1:8077", 8077));
  EXPECT_FALSE(OriginAllowed("null", 8077));
  EXPECT_FALSE(OriginAllowed("", 8077));
}

TEST(PanelAuthTest, CookieValuesAndTokenComparison) {
  EXPECT_EQ(CookieValue("a=1; bw_session=xyz; c=3", "bw_session"), "xyz");
  EXPECT_EQ(CookieValue("bw_session=xyz", "bw_session"), "xyz");
  EXPECT_EQ(CookieValue("xbw_session=xyz", "bw_session"), "");
  EXPECT_EQ(CookieValue("", "bw_session"), "");
  EXPECT_TRUE(ConstantTimeEquals("abc", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("abd", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("ab", "abc"));
  EXPECT_FALSE(ConstantTimeEquals("", ""));
}

}  // namespace
}  // namespace bw::ui
