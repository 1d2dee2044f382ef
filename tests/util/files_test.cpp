#include "util/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "support/temp_dir.h"

namespace bw {
namespace {

using test::ReadAll;
using test::TempDir;
using test::WriteAll;

// Names in `dir`, to show that no temporary file is left behind.
std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(DirectoryTest, EnsureDirectoryCreatesMissingParents) {
  TempDir dir;
  const std::string nested = dir.file("data/10000/群数据");
  EXPECT_FALSE(DirectoryExists(nested));
  EXPECT_TRUE(EnsureDirectory(nested));
  EXPECT_TRUE(DirectoryExists(nested));
  EXPECT_TRUE(EnsureDirectory(nested));  // already there
  EXPECT_TRUE(EnsureDirectory(dir.file("a/b/")));
  EXPECT_TRUE(DirectoryExists(dir.file("a/b")));
}

TEST(DirectoryTest, FilesAreNoDirectories) {
  TempDir dir;
  WriteAll(dir.file("plain"), "x");
  EXPECT_FALSE(DirectoryExists(dir.file("plain")));
  EXPECT_TRUE(FileExists(dir.file("plain")));
  EXPECT_FALSE(EnsureDirectory(dir.file("plain")));
  EXPECT_FALSE(EnsureDirectory(dir.file("plain/below")));
  EXPECT_FALSE(DirectoryExists(dir.file("missing")));
  EXPECT_FALSE(FileExists(dir.file("missing")));
  EXPECT_FALSE(EnsureDirectory(""));
}

TEST(ReadFileBytesTest, ReadsExactBytesAndReportsMissingFiles) {
  TempDir dir;
  const std::string bytes("a\0b\xCC\xEC\r\n", 7);
  WriteAll(dir.file("f"), bytes);
  std::string out = "old";
  ASSERT_TRUE(ReadFileBytes(dir.file("f"), out).ok());
  EXPECT_EQ(out, bytes);

  out = "old";
  const Status missing = ReadFileBytes(dir.file("missing"), out);
  EXPECT_FALSE(missing.ok());
  EXPECT_NE(missing.message().find("missing"), std::string::npos);
  EXPECT_EQ(out, "");
  EXPECT_FALSE(ReadFileBytes(dir.path(), out).ok());  // a directory
}

TEST(ReadFileBytesTest, EveryByteOfFilesOfAnySizeAndOfFilesThatReportNoSize) {
  TempDir dir;
  // Around the sizes where the read's buffer would have to grow.
  for (const size_t size :
       {size_t{0}, size_t{1}, size_t{65535}, size_t{65536}, size_t{65537}, size_t{300001}}) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + size) % 251);
    WriteAll(dir.file("f"), bytes);
    std::string out = "old";
    ASSERT_TRUE(ReadFileBytes(dir.file("f"), out).ok()) << size;
    EXPECT_EQ(out, bytes) << size;
  }
  // Files of the kernel say they are empty and still have content.
  std::string status;
  ASSERT_TRUE(ReadFileBytes("/proc/self/status", status).ok());
  EXPECT_NE(status.find("Name:"), std::string::npos);
  EXPECT_NE(status.find("VmPeak:"), std::string::npos) << "cut after " << status.size();
}

TEST(NamesInTest, EverythingDirectlyInTheDirectoryAndNothingElse) {
  TempDir dir;
  WriteAll(dir.file("700000001"), "欢迎");
  WriteAll(dir.file("群列表.txt"), "");
  ASSERT_TRUE(EnsureDirectory(dir.file("sub/deeper")));
  WriteAll(dir.file("sub/700000002"), "x");
  std::vector<std::string> names = NamesIn(dir.path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"700000001", "sub", "群列表.txt"}));
  EXPECT_TRUE(NamesIn(dir.file("missing")).empty());
  EXPECT_TRUE(NamesIn(dir.file("700000001")).empty());  // a file, no directory
}

TEST(WriteFileAtomicTest, ReplacesContentAndLeavesNoTemporaryFile) {
  TempDir dir;
  const std::string path = dir.file("群列表.txt");
  ASSERT_TRUE(WriteFileAtomic(path, "first").ok());
  EXPECT_EQ(ReadAll(path), "first");
  ::chmod(path.c_str(), 0640);
  ASSERT_TRUE(WriteFileAtomic(path, "second, longer").ok());
  EXPECT_EQ(ReadAll(path), "second, longer");
  ASSERT_TRUE(WriteFileAtomic(path, "").ok());
  EXPECT_EQ(ReadAll(path), "");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"群列表.txt"});
}

TEST(WriteFileAtomicTest, MissingDirectoryFailsAndCreatesNothing) {
  TempDir dir;
  const Status status = WriteFileAtomic(dir.file("nowhere/setsoft.ini"), "x");
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find("setsoft.ini"), std::string::npos);
  EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(WriteFileAtomicTest, FailedRenameLeavesTargetAndNoTemporaryFile) {
  TempDir dir;
  // A non-empty directory cannot be replaced by a file, not even by root.
  ASSERT_TRUE(EnsureDirectory(dir.file("target")));
  WriteAll(dir.file("target/keep"), "kept");
  EXPECT_FALSE(WriteFileAtomic(dir.file("target"), "new").ok());
  EXPECT_EQ(ReadAll(dir.file("target/keep")), "kept");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"target"});
}

TEST(WriteFileAtomicTest, FullDiskKeepsTheOldFile) {
  TempDir dir;
  const std::string path = dir.file("人数限制.ini");
  ASSERT_TRUE(WriteFileAtomic(path, "old settings").ok());
  // A file-size limit makes write() fail like a full disk does, also for root.
  struct rlimit old {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
  auto* oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 1024;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const Status status = WriteFileAtomic(path, std::string(8192, 'x'));
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(status.ok());
  EXPECT_EQ(ReadAll(path), "old settings");
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"人数限制.ini"});
}

TEST(AppendFileTest, CreatesThenAppends) {
  TempDir dir;
  const std::string path = dir.file("log.txt");
  ASSERT_TRUE(AppendFile(path, "one\n").ok());
  ASSERT_TRUE(AppendFile(path, "two\n").ok());
  EXPECT_EQ(ReadAll(path), "one\ntwo\n");
  EXPECT_FALSE(AppendFile(dir.file("missing/log.txt"), "x").ok());
}

// Permission bits of `path`.
unsigned ModeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// The common umask, under which plain creation gives world-readable files.
class UmaskScope {
 public:
  explicit UmaskScope(mode_t mask) : old_(::umask(mask)) {}
  ~UmaskScope() { ::umask(old_); }

 private:
  mode_t old_;
};

TEST(PrivateModesTest, DirectoriesAndFilesBelongToTheOwnerAlone) {
  UmaskScope umask(022);
  TempDir dir;
  ::chmod(dir.path().c_str(), 0755);
  ASSERT_TRUE(EnsureDirectory(dir.file("home/data/10000/群数据")));
  for (const char* created : {"home", "home/data", "home/data/10000", "home/data/10000/群数据"})
    EXPECT_EQ(ModeOf(dir.file(created)), 0700u) << created;
  EXPECT_EQ(ModeOf(dir.path()), 0755u);  // what existed before is left alone

  const std::string settings = dir.file("home/data/10000/setsoft.ini");
  ASSERT_TRUE(WriteFileAtomic(settings, "[选择框]").ok());
  EXPECT_EQ(ModeOf(settings), 0600u);
  // A file left readable by an older version is tightened when rewritten.
  ::chmod(settings.c_str(), 0644);
  ASSERT_TRUE(WriteFileAtomic(settings, "[编辑框]").ok());
  EXPECT_EQ(ModeOf(settings), 0600u);

  const std::string log = dir.file("home/data/10000/群数据/2026-12-7.txt");
  ASSERT_TRUE(AppendFile(log, "line\r\n").ok());
  EXPECT_EQ(ModeOf(log), 0600u);

  const std::string database = dir.file("home/data/10000/brindlewarden.db");
  ASSERT_TRUE(CreatePrivateFile(database).ok());
  EXPECT_EQ(ModeOf(database), 0600u);
  EXPECT_EQ(ReadAll(database), "");
  WriteAll(database, "rows");
  ASSERT_TRUE(CreatePrivateFile(database).ok());  // an existing file is kept as it is
  EXPECT_EQ(ReadAll(database), "rows");
  EXPECT_FALSE(CreatePrivateFile(dir.file("missing/brindlewarden.db")).ok());
}

TEST(StaleTemporaryFilesTest, OnlyTheAtomicWritersLeftoversGo) {
  TempDir dir;
  // What a kill during WriteFileAtomic leaves: the target and its temporary.
  WriteAll(dir.file("setsoft.ini"), "kept");
  WriteAll(dir.file("setsoft.ini.tmp-a1B2c3"), "half");
  WriteAll(dir.file("群列表.txt.tmp-XYZ789"), "half");
  WriteAll(dir.file("人数限制.ini.tmp-4242-1234567"), "half, as the Windows writer names it");
  // Look-alikes and other people's files stay.
  for (const char* name :
       {"notes.tmp-abc", "notes.tmp-abcdefg", "notes.tmp-ab.c12", ".tmp-abcdef", "a.tmp-12-",
        "setsoft.ini.unreadable-20261207-210509", "x.tmp-abcdef.bak"})
    WriteAll(dir.file(name), "theirs");
  ASSERT_TRUE(EnsureDirectory(dir.file("dir.tmp-abcdef")));
  ASSERT_TRUE(EnsureDirectory(dir.file("群数据")));
  WriteAll(dir.file("群数据/deeper.tmp-abcdef"), "not this directory");
  std::filesystem::create_symlink(dir.file("setsoft.ini"), dir.file("link.tmp-abcdef"));

  EXPECT_EQ(RemoveStaleTemporaryFiles(dir.path()),
            (std::vector<std::string>{"setsoft.ini.tmp-a1B2c3", "人数限制.ini.tmp-4242-1234567",
                                      "群列表.txt.tmp-XYZ789"}));
  EXPECT_EQ(Entries(dir.path()),
            (std::vector<std::string>{
                ".tmp-abcdef", "a.tmp-12-", "dir.tmp-abcdef", "link.tmp-abcdef", "notes.tmp-ab.c12",
                "notes.tmp-abc", "notes.tmp-abcdefg", "setsoft.ini",
                "setsoft.ini.unreadable-20261207-210509", "x.tmp-abcdef.bak", "群数据"}));
  EXPECT_EQ(ReadAll(dir.file("setsoft.ini")), "kept");
  EXPECT_TRUE(FileExists(dir.file("群数据/deeper.tmp-abcdef")));
  EXPECT_TRUE(RemoveStaleTemporaryFiles(dir.file("missing")).empty());
}

TEST(JoinPathTest, OneSeparatorBetweenParts) {
  EXPECT_EQ(JoinPath("/data", "a.ini"), "/data/a.ini");
  EXPECT_EQ(JoinPath("/data/", "a.ini"), "/data/a.ini");
  EXPECT_EQ(JoinPath("/data/", "/a.ini"), "/data/a.ini");
  EXPECT_EQ(JoinPath("/data", "/a.ini"), "/data/a.ini");
  EXPECT_EQ(JoinPath("", "a.ini"), "a.ini");
}

}  // namespace
}  // namespace bw
