// OdbcReader: reads the plug-in's database from the harness through the
// Windows ODBC interface (Wine's odbc32, and behind it the 32-bit unixODBC and
// SQLite3 driver), with the wide (UTF-16) entry points only: Wine 8 aborts on
// the ANSI ones.
//
// Thread-safety: one thread per reader.
#pragma once

#include <string>
#include <vector>

namespace bw::wine {

class OdbcReader {
 public:
  OdbcReader();
  ~OdbcReader();
  OdbcReader(const OdbcReader&) = delete;
  OdbcReader& operator=(const OdbcReader&) = delete;

  // False with error() set when the driver refuses.
  bool connect(const std::wstring& connectionString);
  // Every row of `sql`, every column as UTF-16 text (NULL as "<null>"); the
  // column names land in `names`. False with error() set on failure.
  bool query(const std::wstring& sql, std::vector<std::wstring>& names,
             std::vector<std::vector<std::wstring>>& rows);
  const std::string& error() const { return error_; }

 private:
  void remember(short type, void* handle, const char* what);
  void* env_ = nullptr;
  void* dbc_ = nullptr;
  bool connected_ = false;
  std::string error_;
};

}  // namespace bw::wine
