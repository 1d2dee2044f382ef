#include <gtest/gtest.h>

#include <filesystem>

#include "storage/ini_file.h"
#include "storage/list_file.h"
#include "support/file_size_limit.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/charset.h"
#include "util/clock.h"

namespace bw {
namespace {

using test::FileSizeLimit;
using test::ReadAll;
using test::TempDir;
using test::WriteAll;

TEST(IniFileTest, ProfileStringSemantics) {
  TempDir dir;
  const std::string f = dir.file("a.ini");
  EXPECT_EQ(ReadProfileString(f, "s", "k", "dflt"), "dflt");  // missing file
  WriteAll(f,
           "; comment\n[Other]\nk=wrong\n[选择框]\r\n  Key_A = 真 \r\nkey_b=\nkey_c=a=b\n"
           "[选择框]\nkey_d=second section\n");
  EXPECT_EQ(ReadProfileString(f, "选择框", "key_a"), "真");  // case and blanks
  EXPECT_EQ(ReadProfileString(f, "选择框", "KEY_B", "x"), "");
  EXPECT_EQ(ReadProfileString(f, "选择框", "key_c"), "a=b");
  EXPECT_EQ(ReadProfileString(f, "选择框", "key_d", "none"), "none");  // first section only
  EXPECT_EQ(ReadProfileString(f, "other", "k"), "wrong");
  EXPECT_EQ(ReadProfileString(f, "missing", "k", "fb"), "fb");
}

TEST(IniFileTest, WritesReplaceOrAddKeysAndKeepTheRest) {
  TempDir dir;
  const std::string f = dir.file("a.ini");
  ASSERT_TRUE(WriteProfileString(f, "开关", "123", "1").ok());
  ASSERT_TRUE(WriteProfileString(f, "人数", "123", "950").ok());
  ASSERT_TRUE(WriteProfileStrings(f, "开关", {{"456", "0"}, {"123", "0"}}).ok());
  EXPECT_EQ(ReadAll(f), "[开关]\r\n123=0\r\n456=0\r\n\r\n[人数]\r\n123=950\r\n");
  // A value cannot break the line structure.
  ASSERT_TRUE(WriteProfileString(f, "人数", "789", "a\r\n[开关]\r\n123=1").ok());
  EXPECT_EQ(ReadProfileString(f, "开关", "123"), "0");
  EXPECT_EQ(ReadProfileString(f, "人数", "789"), "a  [开关]  123=1");
}

// Many keys written in one batch (the group switches) give the text a key-by-key
// rewrite always gave: replaced in place (the first of duplicates, any ASCII
// case), new ones after the section's last key, the later of a repeated key.
TEST(IniFileTest, BatchWritesKeepTheLayout) {
  const std::string current =
      "; hand-written\r\n[Other]\r\n100=x\r\n\r\n[开关]\r\n100=0\r\n 200 = 1 \r\n;300=1\r\n"
      "ABC=1\r\n100=dup\r\n\r\n\r\n[人数]\r\n100=900\r\n";
  EXPECT_EQ(FormatProfile(current, "开关",
                          {{"100", "1"},
                           {"300", "0"},
                           {"abc", "0"},
                           {"400", "1"},
                           {"300", "1"},
                           {"200", "0"},
                           {"500", "a\r\nb"}}),
            "; hand-written\r\n[Other]\r\n100=x\r\n\r\n[开关]\r\n100=1\r\n200=0\r\n;300=1\r\n"
            "abc=0\r\n100=dup\r\n300=1\r\n400=1\r\n500=a  b\r\n\r\n\r\n[人数]\r\n100=900\r\n");
  EXPECT_EQ(FormatProfile("", "开关", {{"1", "1"}, {"2", "0"}, {"1", "0"}}),
            "[开关]\r\n1=0\r\n2=0\r\n");
  EXPECT_EQ(FormatProfile("[选择框]\r\nk=v", "开关", {{"1", "1"}}),
            "[选择框]\r\nk=v\r\n\r\n[开关]\r\n1=1\r\n");
}

TEST(IniFileTest, LongValuesAreCutOnReadWithoutSplittingCharacters) {
  TempDir dir;
  const std::string f = dir.file("a.ini");
  ASSERT_TRUE(WriteProfileString(f, "s", "ascii", std::string(20000, 'x')).ok());
  EXPECT_EQ(ReadProfileString(f, "s", "ascii").size(), kProfileValueMax);
  std::string wide;
  for (int i = 0; i < 6000; ++i) wide += "群";  // 2 bytes each in GBK
  ASSERT_TRUE(WriteProfileString(f, "s", "wide", wide).ok());
  const std::string got = ReadProfileString(f, "s", "wide");
  EXPECT_EQ(got.size(), (kProfileValueMax / 2) * 3);  // 5119 whole characters
  EXPECT_TRUE(IsValidUtf8(got));
}

TEST(IniFileTest, ReadsGbkAndUtf8Files) {
  TempDir dir;
  WriteAll(dir.file("gbk.ini"), Utf8ToGbk("[编辑框]\r\n编辑框_欢迎语=欢迎进群\r\n"));
  WriteAll(dir.file("utf8.ini"), "\xEF\xBB\xBF[编辑框]\r\n编辑框_欢迎语=欢迎进群\r\n");
  EXPECT_EQ(ReadProfileString(dir.file("gbk.ini"), "编辑框", "编辑框_欢迎语"), "欢迎进群");
  EXPECT_EQ(ReadProfileString(dir.file("utf8.ini"), "编辑框", "编辑框_欢迎语"), "欢迎进群");
  // Rewriting a GBK file keeps its other keys and writes the platform's form.
  ASSERT_TRUE(WriteProfileString(dir.file("gbk.ini"), "编辑框", "k", "v").ok());
  EXPECT_EQ(ReadAll(dir.file("gbk.ini")),
            EncodeForFile("[编辑框]\r\n编辑框_欢迎语=欢迎进群\r\nk=v\r\n"));
}

TEST(CrashSafeWriteTest, FailedWriteKeepsTheOldFile) {
  TempDir dir;
  const std::string ini = dir.file("setsoft.ini");
  const std::string list = dir.file("群列表.txt");
  ASSERT_TRUE(WriteProfileString(ini, "编辑框", "k", "old").ok());
  ListModel groups("g", {"序号", "群号", "群名称", "权限"});
  groups.append({true, {"1", "30001", "旧", "群主"}});
  ASSERT_TRUE(SaveListFile(groups, 4, list).ok());
  const std::string oldIni = ReadAll(ini), oldList = ReadAll(list);

  groups.append({false, {"2", "30002", std::string(8000, 'x'), "管理员"}});
  {
    FileSizeLimit limit(4096);
    EXPECT_FALSE(WriteProfileString(ini, "编辑框", "big", std::string(8000, 'y')).ok());
    EXPECT_FALSE(SaveListFile(groups, 4, list).ok());
  }
  EXPECT_EQ(ReadAll(ini), oldIni);
  EXPECT_EQ(ReadAll(list), oldList);
  EXPECT_EQ(ReadProfileString(ini, "编辑框", "k"), "old");
  // No temporary file is left behind.
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2u);
}

TEST(ListFileTest, FormatIsTheOldOneForPlainRows) {
  std::vector<ListRow> rows = {{true, {"1", "30001", "群一", "群主"}},
                               {false, {"2", "30002", "", "管理员", "extra"}},
                               {false, {"3"}}};
  EXPECT_EQ(FormatListFile(rows, 4),
            "{1}1----30001----群一----群主\r\n{0}2----30002--------管理员\r\n{0}3------------\r\n");
}

TEST(ListFileTest, BraceRule) {
  auto rows = ParseListFile("{1}a----b\r\nno braces----x\r\n{0}c\r\n{12}d\r\n{1}r----{1} 奖励\r\n");
  ASSERT_EQ(rows.size(), 5u);
  EXPECT_TRUE(rows[0].checked);
  EXPECT_EQ(rows[0].cells, (std::vector<std::string>{"a", "b"}));
  EXPECT_FALSE(rows[1].checked);
  EXPECT_EQ(rows[1].cells, (std::vector<std::string>{"no braces", "x"}));
  EXPECT_FALSE(rows[2].checked);
  EXPECT_TRUE(rows[3].checked);
  EXPECT_EQ(rows[3].cells, std::vector<std::string>{"d"});
  // Only the tick group is taken out; a reply holding "{1}" keeps it.
  EXPECT_EQ(rows[4].cells, (std::vector<std::string>{"r", "{1} 奖励"}));
}

TEST(ListFileTest, LinesAndEmptyRows) {
  auto rows = ParseListFile("{1}a\r\n\r\n{0}b\r\n{0}c");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[1].cells, std::vector<std::string>{""});
  EXPECT_EQ(rows[2].cells, std::vector<std::string>{"b"});
  EXPECT_EQ(rows[3].cells, std::vector<std::string>{"c"});
  EXPECT_TRUE(ParseListFile("").empty());
  EXPECT_EQ(ParseListFile("{1}x\r\n").size(), 1u);  // a final CR LF adds no row
  EXPECT_EQ(ParseListFile("{1}x\n").size(), 1u);
  EXPECT_EQ(ParseListFile("{1}x\r").size(), 1u);
}

// Files saved by other editors: rows end in CR LF where the file has any, else
// in LF, else in CR, and a read-save-read round trip keeps every row and cell.
TEST(ListFileTest, EveryLineEndStyleRoundTrips) {
  TempDir dir;
  const std::vector<std::vector<std::string>> expected = {{"1", "30001", "青榆群", "群主"},
                                                          {"2", "30002", "", "管理员"},
                                                          {"3", "30003", "三群", "成员"}};
  for (const std::string end : {"\r\n", "\n", "\r"}) {
    SCOPED_TRACE("line end of " + std::to_string(end.size()) + " byte(s), first " +
                 std::to_string(end[0]));
    const std::string file = dir.file("群列表.txt");
    WriteAll(file, "{1}1----30001----青榆群----群主" + end + "{0}2----30002--------管理员" + end +
                       "{1}3----30003----三群----成员" + end);
    ListModel groups("g", {"序号", "群号", "群名称", "权限"});
    ASSERT_TRUE(LoadListFile(groups, file).ok());
    ASSERT_TRUE(SaveListFile(groups, 4, file).ok());
    ListModel again("g", groups.columns());
    ASSERT_TRUE(LoadListFile(again, file).ok());
    ASSERT_EQ(again.rowCount(), expected.size());
    for (size_t r = 0; r < expected.size(); ++r) {
      EXPECT_EQ(again.row(r)->cells, expected[r]) << "row " << r;
      EXPECT_EQ(again.checked(r), r != 1) << "row " << r;
    }
  }
}

TEST(ListFileTest, ALoneLineBreakInACrLfFileStaysInItsCell) {
  TempDir dir;
  const std::string file = dir.file("回复关键词.txt");
  WriteAll(file,
           "{1}1----你好----第一行\n第二行----模糊匹配----0----0\r\n"
           "{0}2----再见----回头\r见----精准匹配----0----0\r\n");
  ListModel keywords("k", {"序号", "关键词", "回复内容", "匹配模式", "回复次数", "已回复次数"});
  ASSERT_TRUE(LoadListFile(keywords, file).ok());
  ASSERT_EQ(keywords.rowCount(), 2u);
  EXPECT_EQ(keywords.cell(0, 2), "第一行\n第二行");
  EXPECT_EQ(keywords.cell(0, 3), "模糊匹配");
  EXPECT_EQ(keywords.cell(1, 2), "回头\r见");
  ASSERT_TRUE(SaveListFile(keywords, 6, file).ok());
  ASSERT_TRUE(LoadListFile(keywords, file).ok());
  ASSERT_EQ(keywords.rowCount(), 2u);
  EXPECT_EQ(keywords.cell(0, 2), "第一行\r\n第二行");  // the marker reads back as CR LF
  EXPECT_EQ(keywords.cell(1, 4), "0");
}

TEST(ListFileTest, LineBreaksSurviveInLaterCellsAndStayMarkedInTheFirst) {
  TempDir dir;
  ListModel keywords("k", {"序号", "关键词", "回复内容", "匹配模式", "回复次数", "已回复次数"});
  keywords.append({true, {"1\r\n2", "你好", "第一行\r\n第二行\n第三行", "模糊匹配", "0", "0"}});
  keywords.append({false, {"2", "规则", "群规----见公告", "精准匹配", "0", "0"}});
  const std::string file = dir.file("回复关键词.txt");
  ASSERT_TRUE(SaveListFile(keywords, 6, file).ok());
  EXPECT_EQ(ReadAll(file),
            EncodeForFile("{1}1[|换行符|]2----你好----第一行[|换行符|]第二行[|换行符|]第三行"
                          "----模糊匹配----0----0\r\n"
                          "{0}2----规则----群规—见公告----精准匹配----0----0\r\n"));
  ListModel loaded("k", keywords.columns());
  loaded.append({false, {"stale"}});
  ASSERT_TRUE(LoadListFile(loaded, file).ok());
  ASSERT_EQ(loaded.rowCount(), 2u);
  EXPECT_TRUE(loaded.checked(0));
  EXPECT_EQ(loaded.cell(0, 0), "1[|换行符|]2");  // the first cell keeps its marker
  EXPECT_EQ(loaded.cell(0, 2), "第一行\r\n第二行\r\n第三行");
  EXPECT_EQ(loaded.cell(0, 5), "0");
  // "----" inside a cell would split it: it is written as "—".
  EXPECT_EQ(loaded.cell(1, 2), "群规—见公告");
  EXPECT_EQ(loaded.cell(1, 3), "精准匹配");
}

TEST(ListFileTest, NoCellRunsIntoTheNextThroughItsDashes) {
  // Each row: the cells given, and the cells read back after a save.
  struct Case {
    std::vector<std::string> cells, back;
  };
  const std::vector<Case> cases = {
      {{"1", "100", "甲----乙", "群主"}, {"1", "100", "甲—乙", "群主"}},
      {{"2", "100", "结尾-", "群主"}, {"2", "100", "结尾—", "群主"}},
      {{"3", "100", "--", "-管理员"}, {"3", "100", "——", "-管理员"}},
      {{"4", "100", "-----", "末尾--"}, {"4", "100", "——", "末尾--"}},
      {{"5", "100", "-开头", "a--b"}, {"5", "100", "-开头", "a--b"}},
  };
  TempDir dir;
  ListModel groups("g", {"序号", "群号", "群名称", "权限"});
  for (const Case& c : cases) groups.append({true, c.cells});
  test::LogCapture log;
  ASSERT_TRUE(SaveListFile(groups, 4, dir.file("群列表.txt")).ok());
  EXPECT_EQ(log.matching({"list file", "----"}).size(), 1u);  // the change is said once
  ListModel loaded("g", groups.columns());
  ASSERT_TRUE(LoadListFile(loaded, dir.file("群列表.txt")).ok());
  ASSERT_EQ(loaded.rowCount(), cases.size());
  for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(loaded.row(i)->cells, cases[i].back) << i;
}

TEST(ListFileTest, NetworkTextBecomesOneLineWithoutTheSeparator) {
  EXPECT_EQ(CleanNetworkText("甲----乙"), "甲—乙");
  EXPECT_EQ(CleanNetworkText("早\r\n晚\r中\n夜"), "早 晚 中 夜");
  EXPECT_EQ(CleanNetworkText("上\u2028下\u2029左\u0085右\v后\f前"), "上 下 左 右 后 前");
  EXPECT_EQ(CleanNetworkText("--\n--"), "-- --");  // a break cannot hide a separator either
  EXPECT_EQ(CleanNetworkText("普通 name-1"), "普通 name-1");
}

TEST(ListFileTest, LoadReadsGbkAndUtf8AndMissingFilesEmptyTheList) {
  TempDir dir;
  ListModel list("g", {"序号", "群号", "群名称", "权限", "初始化状态"});
  WriteAll(dir.file("gbk.txt"), Utf8ToGbk("{1}1----30001----青榆群----群主\r\n"));
  ASSERT_TRUE(LoadListFile(list, dir.file("gbk.txt")).ok());
  ASSERT_EQ(list.rowCount(), 1u);
  EXPECT_EQ(list.cell(0, 2), "青榆群");
  EXPECT_EQ(list.row(0)->cells.size(), 5u);
  WriteAll(dir.file("utf8.txt"), "{0}1----30002----青榆群二----管理员\r\n");
  ASSERT_TRUE(LoadListFile(list, dir.file("utf8.txt")).ok());
  EXPECT_EQ(list.cell(0, 2), "青榆群二");
  EXPECT_TRUE(LoadListFile(list, dir.file("none.txt")).ok());
  EXPECT_EQ(list.rowCount(), 0u);
}

TEST(ListFileTest, UnreadableFileLeavesTheListAlone) {
  TempDir dir;
  ListModel list("g", {"a", "b"});
  list.append({true, {"keep", "me"}});
  std::filesystem::create_directory(dir.file("dir.txt"));
  EXPECT_FALSE(LoadListFile(list, dir.file("dir.txt")).ok());
  EXPECT_EQ(list.cell(0, 0), "keep");
}

// One stray byte in a UTF-8 file used to turn the whole file into GB18030:
// every option fell back to its default and the garble was saved for good.
TEST(OneBadByteTest, IniFileKeepsEveryOtherKeyAndItsOriginal) {
  TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 8, 15, 30, 0));
  const std::string f = dir.file("setsoft.ini");
  const std::string original =
      "[编辑框]\r\n编辑框_欢迎语=欢迎进群\r\n编辑框_警告语=别发\xFF广告\r\n"
      "[选择框]\r\n选择框_开启广告检测=真\r\n";
  WriteAll(f, original);
  test::LogCapture log;
  EXPECT_EQ(ReadProfileString(f, "编辑框", "编辑框_欢迎语"), "欢迎进群");
  EXPECT_EQ(ReadProfileString(f, "选择框", "选择框_开启广告检测"), "真");
  // The damaged line itself keeps what it can.
  EXPECT_EQ(ReadProfileString(f, "编辑框", "编辑框_警告语"), "别发\xEF\xBF\xBD广告");
  EXPECT_EQ(log.matching({f, "line 3"}).size(), 1u);

  ASSERT_TRUE(WriteProfileString(f, "选择框", "选择框_踢语音", "假", clock).ok());
  EXPECT_EQ(ReadAll(f + ".unreadable-20261208-153000"), original);
  EXPECT_TRUE(IsValidUtf8(ReadAll(f)));
  EXPECT_EQ(ReadProfileString(f, "编辑框", "编辑框_欢迎语"), "欢迎进群");
  EXPECT_EQ(ReadProfileString(f, "选择框", "选择框_踢语音"), "假");
  // The rewritten file is clean: a later rewrite keeps no further copy.
  ASSERT_TRUE(WriteProfileString(f, "选择框", "选择框_踢语音", "真", clock).ok());
  size_t files = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    (void)e;
    ++files;
  }
  EXPECT_EQ(files, 2u);
}

TEST(OneBadByteTest, ListFileKeepsEveryOtherRowAndItsOriginal) {
  TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 8, 15, 30, 0));
  const std::string file = dir.file("回复关键词.txt");
  const std::string original =
      "{1}1----你好----你也好----模糊匹配----0----0\r\n"
      "{1}2----群规----见\x80公告----精准匹配----0----0\r\n"
      "{0}3----再见----下次见----模糊匹配----3----1\r\n";
  WriteAll(file, original);
  test::LogCapture log;
  ListModel keywords("k", {"序号", "关键词", "回复内容", "匹配模式", "回复次数", "已回复次数"});
  ASSERT_TRUE(LoadListFile(keywords, file).ok());
  ASSERT_EQ(keywords.rowCount(), 3u);
  EXPECT_EQ(keywords.row(0)->cells,
            (std::vector<std::string>{"1", "你好", "你也好", "模糊匹配", "0", "0"}));
  EXPECT_EQ(keywords.row(1)->cells,
            (std::vector<std::string>{"2", "群规", "见\xEF\xBF\xBD公告", "精准匹配", "0", "0"}));
  EXPECT_EQ(keywords.row(2)->cells,
            (std::vector<std::string>{"3", "再见", "下次见", "模糊匹配", "3", "1"}));
  EXPECT_EQ(log.matching({file, "line 2"}).size(), 1u);

  ASSERT_TRUE(SaveListFile(keywords, 6, file, clock).ok());
  EXPECT_EQ(ReadAll(file + ".unreadable-20261208-153000"), original);
  EXPECT_TRUE(IsValidUtf8(ReadAll(file)));
}

TEST(OneBadByteTest, Utf16FilesWithAByteOrderMarkAreRead) {
  TempDir dir;
  // "[选择框]\r\n选择框_开启广告检测=真\r\n" as UTF-16 LE and BE with their marks.
  const std::u16string text = u"[选择框]\r\n选择框_开启广告检测=真\r\n";
  std::string le = "\xFF\xFE", be = "\xFE\xFF";
  for (char16_t c : text) {
    le += static_cast<char>(c & 0xFF);
    le += static_cast<char>(c >> 8);
    be += static_cast<char>(c >> 8);
    be += static_cast<char>(c & 0xFF);
  }
  WriteAll(dir.file("le.ini"), le);
  WriteAll(dir.file("be.ini"), be);
  EXPECT_EQ(ReadProfileString(dir.file("le.ini"), "选择框", "选择框_开启广告检测"), "真");
  EXPECT_EQ(ReadProfileString(dir.file("be.ini"), "选择框", "选择框_开启广告检测"), "真");
  // Rewritten as the platform writes files, with nothing lost.
  ASSERT_TRUE(WriteProfileString(dir.file("le.ini"), "选择框", "选择框_踢语音", "假").ok());
  EXPECT_EQ(ReadAll(dir.file("le.ini")),
            EncodeForFile("[选择框]\r\n选择框_开启广告检测=真\r\n选择框_踢语音=假\r\n"));
}

}  // namespace
}  // namespace bw
