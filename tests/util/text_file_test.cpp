// Reading the owner's files: what could not be read is logged with file and
// line, and kept beside the file before it is rewritten.
#include "util/text_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "support/file_size_limit.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace {

using test::FileSizeLimit;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(TextFileTest, UnreadableLinesAreLoggedOnceWithFileAndLine) {
  TempDir dir;
  const std::string path = dir.file("setsoft.ini");
  WriteAll(path, "[选择框]\r\n选择框_开启广告检测=真\r\n选择框_踢语音=\xFF真\r\n");
  test::LogCapture log;
  TextFile file;
  ASSERT_TRUE(ReadTextFile(path, file).ok());
  EXPECT_TRUE(file.exists);
  EXPECT_EQ(file.bytes, ReadAll(path));
  EXPECT_EQ(file.decoded.unreadableLines, std::vector<size_t>{3});
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find(path), std::string::npos) << log.lines()[0];
  EXPECT_NE(log.lines()[0].find("line 3"), std::string::npos) << log.lines()[0];
  // Read again (settings are read once per kind of control): no second report.
  ASSERT_TRUE(ReadTextFile(path, file).ok());
  EXPECT_EQ(log.lines().size(), 1u);

  // A clean file and a missing one log nothing.
  WriteAll(dir.file("clean.ini"), "[选择框]\r\n");
  ASSERT_TRUE(ReadTextFile(dir.file("clean.ini"), file).ok());
  EXPECT_TRUE(file.decoded.clean());
  ASSERT_TRUE(ReadTextFile(dir.file("none.ini"), file).ok());
  EXPECT_FALSE(file.exists);
  EXPECT_EQ(log.lines().size(), 1u);
}

TEST(TextFileTest, TheOriginalOfAnUncleanFileIsKeptBeforeARewrite) {
  TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 8, 15, 30, 0));
  const std::string path = dir.file("群列表.txt");
  const std::string original = "{1}1----30001----青榆\xFF群----群主\r\n";
  WriteAll(path, original);
  test::LogCapture log;
  ASSERT_TRUE(KeepUnreadableOriginal(path, clock).ok());
  const std::string kept = dir.file("群列表.txt.unreadable-20261208-153000");
  EXPECT_EQ(ReadAll(kept), original);
  // Asked again in the same second with the same content: one copy is enough.
  ASSERT_TRUE(KeepUnreadableOriginal(path, clock).ok());
  EXPECT_EQ(FilesIn(dir.path()).size(), 2u);
  // Another unclean content in the same second never overwrites the first copy.
  WriteAll(path, "\xFE\xFF\xD8");
  ASSERT_TRUE(KeepUnreadableOriginal(path, clock).ok());
  EXPECT_EQ(ReadAll(kept), original);
  EXPECT_EQ(ReadAll(kept + "-2"), "\xFE\xFF\xD8");

  // Clean files and missing files get no copy.
  WriteAll(dir.file("ok.txt"), Utf8ToGbk("{1}1----30001----青榆群----群主\r\n"));
  ASSERT_TRUE(KeepUnreadableOriginal(dir.file("ok.txt"), clock).ok());
  ASSERT_TRUE(KeepUnreadableOriginal(dir.file("none.txt"), clock).ok());
  EXPECT_EQ(
      FilesIn(dir.path()),
      (std::vector<std::string>{"ok.txt", "群列表.txt", "群列表.txt.unreadable-20261208-153000",
                                "群列表.txt.unreadable-20261208-153000-2"}));
}

TEST(TextFileTest, ACopyThatCannotBeWrittenIsAnError) {
  TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 8, 15, 30, 0));
  const std::string path = dir.file("setsoft.ini");
  WriteAll(path, "k=\xFF" + std::string(8000, 'v') + "\r\n");
  Status st;
  {
    FileSizeLimit limit(4096);
    st = KeepUnreadableOriginal(path, clock);
  }
  EXPECT_FALSE(st.ok());  // the caller then leaves the file alone
  EXPECT_EQ(FilesIn(dir.path()), std::vector<std::string>{"setsoft.ini"});
}

}  // namespace
}  // namespace bw
