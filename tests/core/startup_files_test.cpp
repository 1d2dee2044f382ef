// What a start-up and its shutdown do to the owner's files: the first over a
// hand-edited data directory puts the files into the robot's own form (and
// keeps what it could not read cleanly); a second over that form, with the
// same member refresh, changes no byte of any file.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "core/replay_engine.h"
#include "settings/list_model.h"
#include "support/temp_dir.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace {

using test::ReadAll;
using test::WriteAll;

// Every file of the data directory but the database, by name.
std::map<std::string, std::string> Files(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (!e.is_regular_file() || name.starts_with("brindlewarden.db")) continue;
    files[name] = ReadAll(e.path().string());
  }
  return files;
}

struct Lists {
  std::vector<ListRow> welcome;
  std::vector<ListRow> groups;
};

Lists StartAndShutDown(const std::string& home) {
  ReplayOptions options;
  options.runDirectory = home;
  options.start = LocalTime(2026, 12, 7, 21, 5, 9);
  ReplayEngine engine(options);
  EXPECT_TRUE(engine.start());
  Lists run{engine.lifecycle().lists().welcome.rows(), engine.lifecycle().lists().groups.rows()};
  engine.shutdown();
  return run;
}

TEST(StartupFilesTest, ASecondStartupOverWhatTheFirstSavedChangesNoByte) {
  test::TempDir home;
  const std::string data = home.path() + "data/10000/";
  ASSERT_TRUE(EnsureDirectory(data));
  const std::string list =
      "{1}1----700000001----一群----管理员\r\n"
      "{1}2----700000002----名[|换行符|]字----群主----旧状态\r\n"
      "{0}3----700000003----三群—----管理员\r\n"
      "4{1}----700000004----括号在后----管理员\r\n"
      "{1}5----abc----手改的行----管理员\r\n"
      "{1}6----700000006----" +
      Utf8ToGbk("广东群") +
      "----管理员\r\n"
      "\r\n"
      "{1}8----700000008----末行----管理员";
  WriteAll(data + "群列表.txt", list);
  WriteAll(data + "群设置.ini",
           "[前面]\nx=1\n\n[开关]\n; 注释\n700000001=0\n999=1\n\n[后面]\ny=2\n");
  WriteAll(data + "人数限制.ini", "[人数]\r\n700000002=800\r\n");
  WriteAll(data + "700000002", "欢迎\r\n第二行");
  WriteAll(data + "700000008", Utf8ToGbk("欢迎末行"));

  SetLogLevel(LogLevel::kError);
  const Lists first = StartAndShutDown(home.path());
  const std::map<std::string, std::string> afterFirst = Files(data);
  const Lists second = StartAndShutDown(home.path());
  const std::map<std::string, std::string> afterSecond = Files(data);
  SetLogLevel(LogLevel::kInfo);

  // The first start read every row and welcome text as written.
  ASSERT_EQ(first.groups.size(), 8u);
  EXPECT_EQ(first.groups[1].cells[groupcol::kName], "名\r\n字");
  EXPECT_EQ(first.groups[3].cells[groupcol::kNumber], "4");
  EXPECT_TRUE(first.groups[3].checked);
  // A GB18030 line in a UTF-8 file reads as UTF-8 with replacement characters;
  // the file's original bytes are kept beside it (below).
  const std::string guessed = first.groups[5].cells[groupcol::kName];
  EXPECT_NE(guessed.find("\xEF\xBF\xBD"), std::string::npos) << guessed;
  EXPECT_EQ(first.groups[0].cells[groupcol::kStatus], "获取群成员失败");
  ASSERT_EQ(first.welcome.size(), 5u);  // ticked rows with a group number
  EXPECT_EQ(first.welcome[1].cells[welcomecol::kText], "欢迎\r\n第二行");
  EXPECT_EQ(first.welcome[4].cells[welcomecol::kText], "欢迎末行");
  EXPECT_EQ(first.welcome[0].cells[welcomecol::kText], "");

  // What it saved is the robot's form (four cells a row), everything else kept.
  ASSERT_TRUE(afterFirst.count("群列表.txt"));
  const std::string& saved = afterFirst.at("群列表.txt");
  EXPECT_NE(saved.find("{1}2----700000002----名[|换行符|]字----群主\r\n"), std::string::npos)
      << saved;
  EXPECT_NE(saved.find("{1}4----700000004----括号在后----管理员\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("{1}5----abc----手改的行----管理员\r\n"), std::string::npos) << saved;
  EXPECT_NE(saved.find("{1}6----700000006----" + guessed + "----管理员\r\n"), std::string::npos)
      << saved;
  EXPECT_NE(saved.find("\r\n{0}------------\r\n{1}8----700000008----末行----管理员\r\n"),
            std::string::npos)
      << saved;
  EXPECT_EQ(afterFirst.at("群设置.ini"),
            "[前面]\r\nx=1\r\n\r\n[开关]\r\n; 注释\r\n700000001=1\r\n999=1\r\n700000002=1\r\n"
            "700000003=0\r\n700000004=1\r\n700000006=1\r\n700000008=1\r\n\r\n[后面]\r\ny=2\r\n");
  EXPECT_EQ(afterFirst.at("人数限制.ini"), "[人数]\r\n700000002=800\r\n");
  size_t kept = 0;
  for (const auto& [name, bytes] : afterFirst) {
    if (name.starts_with("群列表.txt.unreadable-")) {
      ++kept;
      EXPECT_EQ(bytes, list);
    }
  }
  EXPECT_EQ(kept, 1u);

  EXPECT_EQ(second.groups, first.groups);
  EXPECT_EQ(second.welcome, first.welcome);
  EXPECT_EQ(afterSecond, afterFirst);
}

}  // namespace
}  // namespace bw
