#include "update/updater.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>

#include "host/recording_host.h"
#include "logs/run_log.h"
#include "support/temp_dir.h"
#include "test_server.h"
#include "util/clock.h"
#include "util/files.h"
#include "web/web_client.h"

namespace bw {
namespace {

using test::LocalServer;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

class RecordingUi : public UpdateUi {
 public:
  void showInformation(const std::string& text, bool wait) override {
    add("box:" + text + (wait ? "" : " (no wait)"));
  }
  void setCaption(const std::string& text) override { add("caption:" + text); }
  void terminateHost() override { add("terminate"); }
  std::vector<std::string> events() const {
    std::lock_guard lock(mu_);
    return events_;
  }

 private:
  void add(std::string e) {
    std::lock_guard lock(mu_);
    events_.push_back(std::move(e));
  }
  mutable std::mutex mu_;
  std::vector<std::string> events_;
};

// The update server: update.txt and update.zip under "/", a package that
// breaks off half-way under "/broken/", a large error page under "/missing/".
class UpdateServerTest : public ::testing::Test {
 protected:
  static constexpr size_t kBrokenLength = 600000;

  UpdateServerTest() : clock(LocalTime(2026, 12, 7, 21, 5, 9)), runLog(clock) {
    test::MakeSelfSignedCertificate(dir.file("server.pem"), dir.file("server.key"));
    test::MakeSelfSignedCertificate(dir.file("other.pem"), dir.file("other.key"));
    https = std::make_unique<LocalServer>(dir.file("server.pem"), dir.file("server.key"));
    for (LocalServer* s : {&http, https.get()}) serve(s->server());
    http.start();
    https->start();
    host.setLoginQQ(10000);
    host.setLoginNick("守卫");
    runDirectory = dir.path() + "run";
    EnsureDirectory(runDirectory);
  }

  void serve(httplib::Server& server) {
    server.Get("/update.txt", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mu);
      ++versionRequests;
      if (versionAnswers.empty()) {
        res.set_content(version, "text/plain");
      } else {
        res.set_content(versionAnswers.front(), "text/plain");
        versionAnswers.erase(versionAnswers.begin());
      }
    });
    server.Get("/update.zip", [this](const httplib::Request&, httplib::Response& res) {
      std::lock_guard lock(mu);
      ++packageRequests;
      res.set_content(package, "application/zip");
    });
    server.Get("/broken/update.zip", [](const httplib::Request&, httplib::Response& res) {
      res.set_content_provider(kBrokenLength, "application/zip",
                               [](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset >= kBrokenLength / 2) return false;  // cut off
                                 const std::string chunk(kBrokenLength / 2, 'B');
                                 sink.write(chunk.data(), chunk.size());
                                 return true;
                               });
    });
    server.Get("/missing/update.zip", [](const httplib::Request&, httplib::Response& res) {
      res.status = 404;
      res.set_content(std::string(600001, 'E'), "text/html");
    });
  }

  UpdateConfig config(const std::string& base, bool installs = true) {
    UpdateConfig c;
    c.baseUrl = base;
    c.installs = installs;
    c.caFile = dir.file("server.pem");
    return c;
  }
  Updater updater(UpdateConfig c) {
    return Updater(clock, host, runLog, web, std::move(c), runDirectory);
  }
  std::string packagePath() const { return runDirectory + "/app/com.brindle.warden.cpk"; }
  void installOldPackage() {
    EnsureDirectory(runDirectory + "/app");
    WriteAll(packagePath(), "OLD PACKAGE");
  }
  std::vector<std::string> appFiles() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(runDirectory + "/app")) {
      out.push_back(e.path().filename().string());
    }
    return out;
  }
  void setPackage(std::string bytes) {
    std::lock_guard lock(mu);
    package = std::move(bytes);
  }
  void setVersion(std::string text) {
    std::lock_guard lock(mu);
    version = std::move(text);
  }

  TempDir dir;
  VirtualClock clock;
  RecordingHost host;
  RunLog runLog;
  WebClient web;
  std::string runDirectory;

  std::mutex mu;
  std::string version = "2.2";
  std::vector<std::string> versionAnswers;  // answered first, one per request
  std::string package;
  int versionRequests = 0;
  int packageRequests = 0;

  LocalServer http;
  std::unique_ptr<LocalServer> https;
};

TEST(ReadLeadingNumber, TheLongestNumericPrefix) {
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("2.3"), 2.3);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("  \t2.5 beta"), 2.5);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("3\r\n"), 3);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("-1.5"), -1.5);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("+4"), 4);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber(".5"), 0.5);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("1e1x"), 10);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("2e"), 2);  // an exponent needs digits
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("2.3.4"), 2.3);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("\xEF\xBB\xBF"
                                     "2.4"),
                   2.4);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("version 3"), 0);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("."), 0);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber("-"), 0);
  EXPECT_DOUBLE_EQ(ReadLeadingNumber(""), 0);
}

TEST(IsNewerVersion, ToleranceAgainstTheBuiltInVersion) {
  EXPECT_FALSE(IsNewerVersion("2.2"));
  EXPECT_FALSE(IsNewerVersion("2.20000001"));
  EXPECT_TRUE(IsNewerVersion("2.21"));
  EXPECT_TRUE(IsNewerVersion("3\n"));
  EXPECT_FALSE(IsNewerVersion("新版本 3.0"));
  EXPECT_FALSE(IsNewerVersion("2.1"));
  EXPECT_FALSE(IsNewerVersion(""));
  EXPECT_FALSE(IsNewerVersion("0.00000001", "-1"));  // unreadably small counts as none
}

TEST_F(UpdateServerTest, VersionCheckReadsUpdateTxt) {
  Updater u = updater(config(http.base()));
  const std::pair<const char*, bool> cases[] = {{"2.2", false}, {"2.20000001", false},
                                                {"2.21", true}, {"最新版", false},
                                                {"3\n", true},  {"", false}};
  for (auto [text, expected] : cases) {
    setVersion(text);
    EXPECT_EQ(u.updateAvailable(), expected) << text;
    EXPECT_EQ(u.latestVersionText(), text);
  }
  EXPECT_EQ(versionRequests, 6);
}

TEST_F(UpdateServerTest, VersionCheckWithoutServerFindsNothing) {
  // Nothing listens on port 1: the connection is refused.
  EXPECT_FALSE(updater(config("http://127.0.0.1:1/")).updateAvailable());
  EXPECT_FALSE(updater(config("")).updateAvailable());
  EXPECT_EQ(versionRequests, 0);
}

TEST_F(UpdateServerTest, OnlyPackagesOfMoreThan500000BytesAreInstalled) {
  installOldPackage();
  Updater u = updater(config(https->base()));
  setPackage(std::string(500000, 'S'));
  EXPECT_FALSE(u.installUpdate());
  EXPECT_EQ(ReadAll(packagePath()), "OLD PACKAGE");

  std::string good(500001, 'P');
  good[0] = 'Z';
  setPackage(good);
  EXPECT_TRUE(u.installUpdate());
  EXPECT_EQ(ReadAll(packagePath()), good);
  EXPECT_EQ(appFiles(), (std::vector<std::string>{"com.brindle.warden.cpk"}));
  EXPECT_EQ(packageRequests, 2);
}

TEST_F(UpdateServerTest, TheAppDirectoryIsCreatedWhenMissing) {
  setPackage(std::string(600000, 'P'));
  EXPECT_TRUE(updater(config(https->base())).installUpdate());
  EXPECT_EQ(ReadAll(packagePath()).size(), 600000u);
}

TEST_F(UpdateServerTest, AnInterruptedDownloadKeepsTheOldPackage) {
  installOldPackage();
  EXPECT_FALSE(updater(config(https->base("broken/"))).installUpdate());
  EXPECT_EQ(ReadAll(packagePath()), "OLD PACKAGE");
  EXPECT_EQ(appFiles(), (std::vector<std::string>{"com.brindle.warden.cpk"}));
}

TEST_F(UpdateServerTest, AnErrorPageIsNoPackageWhateverItsSize) {
  installOldPackage();
  EXPECT_FALSE(updater(config(https->base("missing/"))).installUpdate());
  EXPECT_EQ(ReadAll(packagePath()), "OLD PACKAGE");
}

TEST_F(UpdateServerTest, AServerThatIsNotTrustedIsRefused) {
  installOldPackage();
  setPackage(std::string(600000, 'X'));
  UpdateConfig other = config(https->base());
  other.caFile = dir.file("other.pem");  // trusts another certificate only
  EXPECT_FALSE(updater(other).installUpdate());
  UpdateConfig system = config(https->base());
  system.caFile.clear();  // the system's authorities know nothing of this server
  EXPECT_FALSE(updater(system).installUpdate());
  EXPECT_EQ(packageRequests, 0);  // no request got past the handshake
  EXPECT_EQ(ReadAll(packagePath()), "OLD PACKAGE");
}

TEST_F(UpdateServerTest, PackagesAreNeverTakenOverPlainHttp) {
  installOldPackage();
  setPackage(std::string(600000, 'X'));
  EXPECT_FALSE(updater(config(http.base())).installUpdate());
  EXPECT_EQ(packageRequests, 0);
  EXPECT_EQ(ReadAll(packagePath()), "OLD PACKAGE");
}

TEST_F(UpdateServerTest, EnableInstallsANewerVersionAndEndsTheHost) {
  setVersion("2.3");
  setPackage(std::string(600000, 'P'));
  RecordingUi ui;
  updater(config(https->base())).checkAndInstallAtEnable(ui);
  EXPECT_EQ(ui.events(), (std::vector<std::string>{"box:有新版本正在更新 (no wait)",
                                                   "box:更新成功请重新启动酷Q", "terminate"}));
  EXPECT_EQ(ReadAll(packagePath()).size(), 600000u);
}

TEST_F(UpdateServerTest, EnableReportsAFailedInstallAndGoesOn) {
  setVersion("2.3");
  setPackage("<html>oops</html>");
  RecordingUi ui;
  updater(config(https->base())).checkAndInstallAtEnable(ui);
  EXPECT_EQ(ui.events(),
            (std::vector<std::string>{"box:有新版本正在更新 (no wait)", "box:更新失败"}));
  EXPECT_FALSE(FileExists(packagePath()));
}

TEST_F(UpdateServerTest, EnableWithoutNewerVersionDoesNothing) {
  setPackage(std::string(600000, 'P'));
  RecordingUi ui;
  updater(config(https->base())).checkAndInstallAtEnable(ui);
  EXPECT_TRUE(ui.events().empty());
  EXPECT_EQ(packageRequests, 0);
}

TEST_F(UpdateServerTest, WhereTheRobotDoesNotInstallANewerVersionIsOnlyReported) {
  setVersion("2.3\r\n");
  setPackage(std::string(600000, 'P'));
  RecordingUi ui;
  updater(config(https->base(), /*installs=*/false)).checkAndInstallAtEnable(ui);
  EXPECT_TRUE(ui.events().empty());
  EXPECT_EQ(packageRequests, 0);
  EXPECT_FALSE(FileExists(packagePath()));
  ASSERT_EQ(runLog.entries().size(), 1u);
  EXPECT_EQ(runLog.entries()[0].message, "发现新版本 2.3，当前版本 2.2");
  EXPECT_EQ(runLog.status(), "发现新版本 2.3，当前版本 2.2");
}

TEST_F(UpdateServerTest, PeriodicCheckEvery30MinutesUntilInstalled) {
  versionAnswers = {"2.2", "", "2.5"};
  setPackage(std::string(600000, 'P'));
  RecordingUi ui;
  const SystemTime start = clock.now();  // auto-advance: each wait moves the clock
  updater(config(https->base())).periodicUpdateCheck(ui, {});
  EXPECT_EQ(clock.now() - start, std::chrono::minutes(90));
  EXPECT_EQ(versionRequests, 3);
  EXPECT_EQ(ui.events(),
            (std::vector<std::string>{"caption:青榆群卫 V2.2             当前登录QQ:10000"
                                      "             昵称:守卫 有新版本已经更新请重启酷Q"}));
  EXPECT_EQ(ReadAll(packagePath()).size(), 600000u);
}

TEST_F(UpdateServerTest, PeriodicCheckRetriesAFailedInstall) {
  versionAnswers = {"2.5", "2.5"};
  setPackage("too small");
  RecordingUi ui;
  VirtualClock manual(clock.now(), VirtualClock::Mode::kManual);
  Updater u(manual, host, runLog, web, config(https->base()), runDirectory);
  std::thread check([&] { u.periodicUpdateCheck(ui, {}); });
  ASSERT_TRUE(manual.waitForSleepers(1));
  manual.advance(std::chrono::minutes(30));  // first check: install fails
  ASSERT_TRUE(test::Eventually([&] {
    std::lock_guard lock(mu);
    return packageRequests == 1;
  }));
  ASSERT_TRUE(manual.waitForSleepers(1));
  setPackage(std::string(500001, 'P'));
  manual.advance(std::chrono::minutes(30));
  check.join();
  EXPECT_EQ(packageRequests, 2);
  EXPECT_EQ(ui.events().size(), 1u);
}

TEST_F(UpdateServerTest, PeriodicReportOnlyAndStop) {
  setVersion("2.3");
  RecordingUi ui;
  updater(config(http.base(), /*installs=*/false)).periodicUpdateCheck(ui, {});
  EXPECT_EQ(ui.events(),
            (std::vector<std::string>{"caption:青榆群卫 V2.2             当前登录QQ:10000"
                                      "             昵称:守卫 有新版本请更新"}));
  EXPECT_EQ(runLog.status(), "发现新版本 2.3，当前版本 2.2");

  VirtualClock manual(clock.now(), VirtualClock::Mode::kManual);
  Updater u(manual, host, runLog, web, config(http.base()), runDirectory);
  std::stop_source stop;
  std::thread check([&] { u.periodicUpdateCheck(ui, stop.get_token()); });
  ASSERT_TRUE(manual.waitForSleepers(1));
  stop.request_stop();
  check.join();
  EXPECT_EQ(versionRequests, 1);  // stopped during its first wait
}

}  // namespace
}  // namespace bw
