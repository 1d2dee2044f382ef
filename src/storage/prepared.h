// Prepared statements with bound values: how table owners talk to the database.
//
// A statement text with "?" placeholders is prepared once per connection (the
// Database keeps it, keyed by its text, and drops it on a reconnect or after it
// failed); each run binds its values as parameters, so no value is ever quoted
// into a statement and "'); drop table 群成员; --" is only a nickname.
//
//   // A write: done, matched no row, or failed (a failure is logged).
//   ExecResult r = RunPrepared(db, "update 警告 set 次数 = 次数 + 1 where 群号=? and QQ号=?",
//                              {group, member});
//   // A read: columns by number, from 0, in any order and as often as wanted.
//   PreparedQuery q(db, "select QQ号, 昵称 from 群成员 where 群号=?", {group});
//   while (q.next()) use(q.integer(0), q.text(1));
//
// Values are UTF-8 text, 64-bit integers or kSqlNull. Bind numbers to number
// columns and text to text ones: PostgreSQL refuses to compare a BIGINT with
// text (QQ号 and 群号 of the first seven tables are text: bind std::to_string). A SqlValue is a
// view of the caller's text: build the values in the call itself. Statement
// texts are constants (or chosen from a few): each distinct one stays prepared
// for the connection's life (past 256 of them the rest run unprepared).
//
// Thread-safety: the Database's. A PreparedQuery holds the connection's lock
// from construction to destruction (other threads wait, as for a
// Transaction): keep its life short. It may be nested, also with the same text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "storage/database.h"

namespace bw {

struct SqlNull {};
inline constexpr SqlNull kSqlNull{};

class SqlValue {
 public:
  enum class Kind { kNull, kInteger, kText };

  SqlValue(SqlNull) {}
  SqlValue(std::string_view text) : kind_(Kind::kText), text_(text) {}
  SqlValue(const std::string& text) : kind_(Kind::kText), text_(text) {}
  SqlValue(const char* text) : kind_(Kind::kText), text_(text) {}
  template <typename T>
  requires std::is_integral_v<T> SqlValue(T number)
      : kind_(Kind::kInteger), number_(static_cast<int64_t>(number)) {}

  Kind kind() const { return kind_; }
  std::string_view text() const { return text_; }
  int64_t integer() const { return number_; }

 private:
  Kind kind_ = Kind::kNull;
  std::string_view text_;
  int64_t number_ = 0;
};

struct PreparedState;  // the prepared statement and its parameter buffers

class PreparedQuery {
 public:
  PreparedQuery(Database& db, std::string_view sql, std::initializer_list<SqlValue> values = {});
  PreparedQuery(Database& db, std::string_view sql, std::span<const SqlValue> values);
  ~PreparedQuery();
  PreparedQuery(const PreparedQuery&) = delete;
  PreparedQuery& operator=(const PreparedQuery&) = delete;

  // Whether the statement ran (a write that matched no row ran too).
  bool ok() const { return !result_.failed(); }
  ExecResult result() const { return result_; }
  // Rows an insert, update or delete changed; -1 when unknown or failed.
  int64_t changed();

  // The next row; false at the end, or when the statement failed.
  bool next();
  int columns() const { return columns_; }
  bool null(int column) const;
  std::string text(int column) const;  // "" for NULL
  int64_t integer(int column) const;   // 0 for NULL or a text that is no number

 private:
  void run(std::string_view sql, std::span<const SqlValue> values);

  Database& db_;
  std::unique_lock<std::recursive_mutex> lock_;
  std::shared_ptr<PreparedState> state_;
  ExecResult result_;
  int columns_ = 0;
  std::vector<std::string> row_;
  std::vector<bool> nulls_;
};

// Runs one statement; `changed` receives the rows it changed (-1 unknown).
ExecResult RunPrepared(Database& db, std::string_view sql,
                       std::initializer_list<SqlValue> values = {}, int64_t* changed = nullptr);
ExecResult RunPrepared(Database& db, std::string_view sql, std::span<const SqlValue> values,
                       int64_t* changed = nullptr);

}  // namespace bw
