// backend_checks.exe: the Windows backends of the core's utilities, run under
// Wine by scripts/test-windows (in UTC): GBK text through the system's code
// pages, files and directories with Chinese names given as UTF-8, the
// crash-safe write and its leftovers, profile files, the database layer
// through odbc32's wide calls, and local time texts at the edges msvcrt's own
// calls get wrong (before 1970, the last day of 9999).
//
// Prints one line per check; exit code 0 when every check passed.
#include <windows.h>
// <windows.h> names its ANSI profile call so; the project's is meant here.
#undef WriteProfileString

#include <cstdio>
#include <memory>
#include <string>

#include "storage/database.h"
#include "storage/ini_file.h"
#include "storage/prepared.h"
#include "storage/schema.h"
#include "storage/sql.h"
#include "ui/panel_auth.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/time_text.h"
#include "util/wide_text.h"

namespace {

int gChecks = 0;
// PBKDF2-HMAC-SHA256 of "password1", salt 00..0f, 1000 iterations, as
// OpenSSL makes it (through Python's hashlib).
constexpr const char* kLinuxHash =
    "pbkdf2-sha256$1000$000102030405060708090a0b0c0d0e0f$"
    "5c0ddf289cd56efa1b8bb0608c967ec5bd07fb5037e51a1e5e44dcbbf84f45f3";
int gFailures = 0;

void Check(bool ok, const std::string& name, const std::string& detail = {}) {
  ++gChecks;
  if (!ok) ++gFailures;
  std::printf("%s - %s%s%s\n", ok ? "ok" : "FAIL", name.c_str(), ok ? "" : ": ",
              ok ? "" : detail.c_str());
}

bw::SystemTime At(int64_t unixSeconds) { return bw::SystemTime(std::chrono::seconds(unixSeconds)); }

std::string Shown(int64_t unixSeconds) {
  return bw::FormatDateTime(At(unixSeconds), "yyyy-M-d ", "HH:mm:ss", true);
}

std::string RunDirectory() {
  wchar_t path[MAX_PATH] = {0};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir = path;
  return bw::Utf8FromWide(dir.substr(0, dir.find_last_of(L"\\/")));
}

}  // namespace

int main() {
  // --- text ---
  const std::string gbk = bw::Utf8ToGbk("青榆群卫，加我微信");
  Check(gbk == "\xC7\xE0\xD3\xDC\xC8\xBA\xCE\xC0\xA3\xAC\xBC\xD3\xCE\xD2\xCE\xA2\xD0\xC5",
        "UTF-8 to GBK through the code page");
  Check(bw::GbkToUtf8(gbk) == "青榆群卫，加我微信", "GBK back to UTF-8");
  Check(bw::PrefixByGbkBytes("青榆群卫", 5) == "青榆", "a GBK byte limit never cuts a character");

  // --- files with Chinese names, named in UTF-8 ---
  const std::string dir = bw::JoinPath(RunDirectory(), "检查目录/群数据");
  Check(bw::EnsureDirectory(dir), "a Chinese directory path is created with its parents");
  const std::string file = bw::JoinPath(dir, "群列表.txt");
  Check(bw::WriteFileAtomic(file, "{1}1----100----我的群----群主\r\n").ok(),
        "a file with a Chinese name is written through a temporary file");
  const std::wstring wide = bw::WideFromUtf8(file);
  Check(GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES,
        "the file carries its Chinese name (wide API sees it)");
  std::string back;
  Check(bw::ReadFileBytes(file, back).ok() && back == "{1}1----100----我的群----群主\r\n",
        "the file reads back byte for byte");
  Check(bw::WriteFileAtomic(file, "x").ok() && bw::ReadFileBytes(file, back).ok() && back == "x",
        "an existing file is replaced");
  Check(bw::RemoveStaleTemporaryFiles(dir).empty(), "a finished write leaves no temporary file");
  Check(bw::CreatePrivateFile(bw::JoinPath(dir, "数据.db")).ok() &&
            bw::FileExists(bw::JoinPath(dir, "数据.db")),
        "an empty private file is created");
  Check(
      bw::RemoveFile(bw::JoinPath(dir, "数据.db")) && !bw::FileExists(bw::JoinPath(dir, "数据.db")),
      "a file with a Chinese name is removed");

  // --- profile files ---
  const std::string ini = bw::JoinPath(dir, "设置.ini");
  Check(bw::WriteProfileString(ini, "选择框", "选择框_开启广告检测", "真").ok() &&
            bw::ReadProfileString(ini, "选择框", "选择框_开启广告检测", "") == "真",
        "a profile entry with Chinese names is written and read back");

  // --- the database layer through odbc32's wide calls (the SQLite3 driver) ---
  {
    bw::Database db;
    const std::string file = bw::JoinPath(dir, "检查.db");
    Check(db.ConnectSqlite(file), "the SQLite3 driver opens a file with a Chinese name");
    Check(static_cast<bool>(db.Execute("CREATE TABLE 名单 (名字 TEXT, 备注 TEXT)")),
          "a table with Chinese names is created");
    std::string longText;
    for (int i = 0; i < 300; ++i) longText += i % 2 ? "榆" : "青";
    Check(static_cast<bool>(
              db.Execute("insert into 名单 values(" + bw::SqlQuote(longText) + ", NULL)")),
          "a row of 300 Chinese characters is written");
    bw::ScopedQuery q(db, "select * from 名单");
    Check(q.next() && q.text("名字") == longText,
          "the 300 characters come back whole (read in pieces)", q.text("名字").substr(0, 30));
    Check(q.text("备注").empty(), "NULL reads as empty text");
    Check(db.ColumnName(q.handle(), 1) == "备注", "a Chinese column name comes back whole",
          db.ColumnName(q.handle(), 1));
    Check(bw::FileExists(file), "the file is where it was named");

    // Prepared statements: text bound as UTF-16 (SQL_C_WCHAR), numbers, NULL.
    const std::string quoted = "O'Neil \"引号\" '); drop table 名单; -- 😀";
    Check(
        bw::RunPrepared(db, "insert into 名单(名字, 备注) values(?, ?)", {quoted, bw::kSqlNull})
                .done() &&
            bw::RunPrepared(db, "insert into 名单(名字, 备注) values(?, ?)", {longText, 42}).done(),
        "bound values are written");
    bw::PreparedQuery p(db, "select 备注 from 名单 where 名字=?", {quoted});
    Check(p.next() && p.null(0), "a bound text with quotes and an emoji finds its row, NULL kept");
    bw::PreparedQuery l(db, "select 名字, 备注 from 名单 where 备注=?", {42});
    Check(l.next() && l.text(0) == longText && l.integer(1) == 42,
          "300 Chinese characters bound come back whole", l.text(0).substr(0, 30));
  }

  // --- the Access path where no Access driver is installed (Wine) ---
  {
    Check(!bw::Database::AccessDriverInstalled(), "odbccp32 lists no Access driver here");
    const std::string mdb = bw::JoinPath(dir, "新建.mdb");
    Check(!bw::Database::CreateAccessFile(mdb) && !bw::FileExists(mdb),
          "creating an Access file without its driver fails and leaves nothing");
    const std::string data = bw::JoinPath(dir, "数据");
    Check(bw::DeployAndConnectPluginDatabase(*std::make_unique<bw::Database>(), data) &&
              bw::FileExists(bw::DatabaseFile(data)) &&
              !bw::FileExists(bw::AccessDatabaseFile(data)),
          "the plug-in's first start without the Access driver makes a SQLite file");
  }

  // --- the panel's password hash through bcrypt ---
  {
    const std::string hash = bw::ui::HashPassword("青榆-secret-1");
    Check(hash.starts_with("pbkdf2-sha256$600000$"), "a password hash is made", hash);
    Check(bw::ui::VerifyPassword("青榆-secret-1", hash), "the password matches its hash");
    Check(!bw::ui::VerifyPassword("青榆-secret-2", hash), "another password does not");
    // A hash made by OpenSSL on Linux for "password1" (1000 iterations).
    Check(bw::ui::VerifyPassword("password1", kLinuxHash), "a hash made on Linux is accepted");
    Check(bw::ui::RandomToken().size() == 64 && bw::ui::RandomToken() != bw::ui::RandomToken(),
          "login tokens are 64 hex digits, never the same");
  }

  // --- local time texts, in UTC (the expectations are UTC's) ---
  TIME_ZONE_INFORMATION zone{};
  const DWORD kind = GetTimeZoneInformation(&zone);
  // UTC: no offset and no daylight saving dates.
  if (zone.Bias != 0 || kind == TIME_ZONE_ID_DAYLIGHT || zone.DaylightDate.wMonth != 0) {
    std::printf("skip - local time texts: this prefix's time zone is not UTC\n");
  } else {
    Check(Shown(1733576709) == "2024-12-7 13:05:09", "a time of 2024", Shown(1733576709));
    Check(Shown(-1) == "1969-12-31 23:59:59", "one second before the epoch", Shown(-1));
    Check(Shown(-31536000) == "1969-1-1 00:00:00", "a time of 1969", Shown(-31536000));
    // Stored milliseconds reach further than a SystemTime (nanoseconds).
    Check(bw::TimestampToText("253402300799000") == "9999-12-31 23:59:59",
          "the last second of 9999", bw::TimestampToText("253402300799000"));
    Check(bw::TimestampToText("253402300800000").empty(), "the year 10000 has no text",
          bw::TimestampToText("253402300800000"));
    Check(bw::TimestampToText("4102444800") == "2100-1-01 00:00:00", "a stored time past 2038",
          bw::TimestampToText("4102444800"));
  }

  std::printf("%d checks, %d failed\n", gChecks, gFailures);
  return gFailures == 0 ? 0 : 1;
}
