#include "logs/group_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/temp_dir.h"
#include "util/files.h"

namespace bw {
namespace {

using test::ReadAll;

class GroupLogTest : public ::testing::Test {
 protected:
  test::TempDir dir_;
  std::string logDir_ = dir_.path() + "群数据/";
  VirtualClock clock_{LocalTime(2026, 12, 7, 21, 5, 9)};
  void SetUp() override { ASSERT_TRUE(EnsureDirectory(logDir_)); }
};

TEST_F(GroupLogTest, LineFormatInTheDayFile) {
  GroupLog log(clock_, logDir_);
  EXPECT_EQ(log.dayFile(clock_.now()), logDir_ + "2026-12-7.txt");
  log.WriteGroupLog("30001", "40001", "10000", "进群");
  EXPECT_EQ(ReadAll(logDir_ + "2026-12-7.txt"),
            "2026-12-7 21:05:09\t30001\t进群\t40001\t10000\r\n");
}

TEST_F(GroupLogTest, HourIsTwentyFourHourWithLeadingZero) {
  clock_.set(LocalTime(2026, 1, 5, 9, 3, 4));
  GroupLog log(clock_, logDir_);
  log.WriteGroupLog("1", "2", "3", "退群");
  clock_.set(LocalTime(2026, 1, 5, 13, 0, 0));
  log.WriteGroupLog("1", "4", "3", "退群");
  EXPECT_EQ(ReadAll(logDir_ + "2026-1-5.txt"),
            "2026-1-5 09:03:04\t1\t退群\t2\t3\r\n2026-1-5 13:00:00\t1\t退群\t4\t3\r\n");
}

TEST_F(GroupLogTest, RepeatedEventIsWrittenOnce) {
  GroupLog log(clock_, logDir_);
  log.WriteGroupLog("30001", "40001", "10000", "退群");
  log.WriteGroupLog("30001", "40001", "99999", "退群");  // operator is not compared
  const std::string file = logDir_ + "2026-12-7.txt";
  EXPECT_EQ(ReadAll(file), "2026-12-7 21:05:09\t30001\t退群\t40001\t10000\r\n");
  log.WriteGroupLog("30001", "40001", "10000", "进群");
  log.WriteGroupLog("30001", "40001", "10000", "退群");
  log.WriteGroupLog("30002", "40001", "10000", "退群");  // another group
  const std::string text = ReadAll(file);
  size_t lines = 0;
  for (size_t p = 0; (p = text.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
  EXPECT_EQ(lines, 4u);
}

TEST_F(GroupLogTest, MidnightStartsANewFileAndAppendsKeepOldLines) {
  test::WriteAll(logDir_ + "2026-12-7.txt", "earlier\r\n");
  clock_.set(LocalTime(2026, 12, 7, 23, 59, 59));
  GroupLog log(clock_, logDir_);
  log.WriteGroupLog("1", "2", "3", "进群");
  clock_.advance(std::chrono::seconds(1));
  log.WriteGroupLog("1", "5", "3", "进群");
  EXPECT_EQ(ReadAll(logDir_ + "2026-12-7.txt"), "earlier\r\n2026-12-7 23:59:59\t1\t进群\t2\t3\r\n");
  EXPECT_EQ(ReadAll(logDir_ + "2026-12-8.txt"), "2026-12-8 00:00:00\t1\t进群\t5\t3\r\n");
}

TEST_F(GroupLogTest, MissingDirectoryIsCreatedAndFieldsStayOnOneLine) {
  GroupLog log(clock_, dir_.path() + "gone/群数据/");
  log.WriteGroupLog("1\r\n2", "3\t4", "5", "进群");
  EXPECT_EQ(ReadAll(dir_.path() + "gone/群数据/2026-12-7.txt"),
            "2026-12-7 21:05:09\t1  2\t进群\t3 4\t5\r\n");
}

}  // namespace
}  // namespace bw
