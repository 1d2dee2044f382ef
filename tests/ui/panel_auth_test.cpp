// Who may use the settings panel: the token file, the owner's password, the
// rate limits on logins, sessions, and the Host and Origin checks.
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

TEST(PanelAuthTest, APasswordIsKeptOnlyAsASaltedHashAndThenReplacesTheToken) {
  test::TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  const std::string file = dir.file("panel.password");
  EXPECT_FALSE(WritePasswordFile(file, "short").ok());
  EXPECT_FALSE(WritePasswordFile(file, "two\nlines here").ok());
  EXPECT_FALSE(FileExists(file));
  ASSERT_TRUE(WritePasswordFile(file, "青榆 correct horse").ok());
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string stored = test::ReadAll(file);
  EXPECT_EQ(stored.find("correct horse"), std::string::npos);
  EXPECT_EQ(stored.rfind("pbkdf2-sha256$", 0), 0u) << stored;
  // Salted: the same password twice gives two different hashes.
  EXPECT_NE(HashPassword("青榆 correct horse"), stored.substr(0, stored.size() - 1));
  EXPECT_TRUE(VerifyPassword("青榆 correct horse", stored.substr(0, stored.size() - 1)));
  EXPECT_FALSE(VerifyPassword("青榆 correct hors", stored.substr(0, stored.size() - 1)));
  EXPECT_FALSE(VerifyPassword("x", "pbkdf2-sha256$1$zz$00"));

  PanelAuth auth(clock);
  auth.setToken("0123456789abcdef0123456789abcdef");
  ASSERT_TRUE(auth.loadPassword(file).ok());
  EXPECT_TRUE(auth.hasPassword());
  // The token was printed in the log: with a password set it opens nothing.
  EXPECT_EQ(auth.login("0123456789abcdef0123456789abcdef", "10.0.0.1", nullptr),
            LoginResult::kWrongToken);
  PanelSession s;
  EXPECT_EQ(auth.login("青榆 correct horse", "10.0.0.1", &s), LoginResult::kOk);
  EXPECT_TRUE(auth.find(s.id));

  // A password file others may read, or one without a hash, is refused.
  ::chmod(file.c_str(), 0640);
  PanelAuth readable(clock);
  EXPECT_FALSE(readable.loadPassword(file).ok());
  EXPECT_FALSE(readable.hasPassword());
  test::WriteAll(file, "hunter22\n");
  ::chmod(file.c_str(), 0600);
  EXPECT_FALSE(readable.loadPassword(file).ok());
  // No file: no password, the token logs in.
  EXPECT_TRUE(readable.loadPassword(dir.file("missing")).ok());
  EXPECT_FALSE(readable.hasPassword());
}

TEST(PanelAuthTest, TheLimitHoldsPerSourceAndOverAllSourcesTogether) {
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  PanelAuth auth(clock);
  const std::string token = "0123456789abcdef0123456789abcdef";
  auth.setToken(token);
  for (int i = 0; i < PanelAuth::kMaxFailures; ++i)
    EXPECT_EQ(auth.login("wrong", "10.0.0.1", nullptr), LoginResult::kWrongToken);
  // One guesser is stopped; the owner elsewhere still logs in.
  EXPECT_EQ(auth.login(token, "10.0.0.1", nullptr), LoginResult::kRateLimited);
  EXPECT_EQ(auth.login(token, "127.0.0.1", nullptr), LoginResult::kOk);
  // Many sources, each below its own limit, together reach the overall one.
  int source = 2;
  int failures = PanelAuth::kMaxFailures;
  while (failures < PanelAuth::kMaxFailuresOverall) {
    EXPECT_EQ(auth.login("wrong", "10.0.0." + std::to_string(source++), nullptr),
              LoginResult::kWrongToken);
    ++failures;
  }
  EXPECT_EQ(auth.login(token, "10.0.0.250", nullptr), LoginResult::kRateLimited);
  EXPECT_EQ(auth.login(token, "127.0.0.1", nullptr), LoginResult::kRateLimited);
  clock.advance(PanelAuth::kFailureWindow);
  EXPECT_EQ(auth.login(token, "10.0.0.1", nullptr), LoginResult::kOk);
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
