// db/statement.h: a prepared statement as a movable RAII object.
// Binding uses 1-based positions, as SQLite's "?" parameters do; text and blobs are bound with
// their length (they may hold NUL). Every failure becomes a db::Error of this statement.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "db/value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace nodrel::db {

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);  // throws Error when the SQL does not prepare
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&& other) noexcept;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  Statement& bind(int position, const Value& value);
  Statement& bindAll(std::span<const Value> values);  // positions 1..n
  Statement& bindText(int position, std::string_view text);
  // The same without a copy, for texts bound row after row: the caller keeps the text alive
  // and unchanged until the statement is reset.
  Statement& bindTextView(int position, std::string_view text);
  Statement& bindInt(int position, std::int64_t value);
  Statement& bindDouble(int position, double value);
  Statement& bindNull(int position);

  // Advances to the next row: true when a row is available, false when done. Throws Error.
  bool step();
  // Runs to completion, ignoring any rows. Returns the number of rows changed.
  int run();
  // Resets so the statement can be stepped again; bindings are cleared too.
  void reset();

  int columnCount() const;
  Value column(int index) const;  // 0-based, of the current row
  // The column's text without a copy, or nothing when its value is not text. The view is valid
  // until the statement steps, resets or is destroyed.
  std::optional<std::string_view> columnText(int index) const;
  // The same for a blob column: nothing when the value is not a blob.
  std::optional<std::string_view> columnBlob(int index) const;
  // The column's integer, or nothing when its value is not an integer.
  std::optional<std::int64_t> columnInteger(int index) const;
  Row row() const;

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace nodrel::db
