#include "db/statement.h"

#include <sqlite3.h>

#include <limits>
#include <utility>

#include "db/error.h"

namespace nodrel::db {
namespace {

[[noreturn]] void fail(sqlite3* db, int rc) {
  // Some failures (misuse of a statement, for one) are returned without being recorded on the
  // connection, whose message then describes an earlier call, or says "not an error".
  if (db != nullptr && (sqlite3_extended_errcode(db) & 0xff) == (rc & 0xff)) {
    throw Error(sqlite3_extended_errcode(db), sqlite3_errmsg(db));
  }
  throw Error(rc, sqlite3_errstr(rc));
}

}  // namespace

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  if (sql.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    throw Error(SQLITE_TOOBIG, sqlite3_errstr(SQLITE_TOOBIG));
  }
  int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    fail(db, rc);
  }
  if (stmt_ == nullptr) throw Error(SQLITE_MISUSE, "empty SQL statement");
}

Statement::Statement(Statement&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)), stmt_(std::exchange(other.stmt_, nullptr)) {}

Statement& Statement::operator=(Statement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(stmt_);
    db_ = std::exchange(other.db_, nullptr);
    stmt_ = std::exchange(other.stmt_, nullptr);
  }
  return *this;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::bind(int position, const Value& value) {
  int rc = SQLITE_OK;
  if (std::holds_alternative<Null>(value)) {
    rc = sqlite3_bind_null(stmt_, position);
  } else if (auto i = std::get_if<std::int64_t>(&value)) {
    rc = sqlite3_bind_int64(stmt_, position, *i);
  } else if (auto d = std::get_if<double>(&value)) {
    rc = sqlite3_bind_double(stmt_, position, *d);
  } else if (auto s = std::get_if<std::string>(&value)) {
    rc = sqlite3_bind_text64(stmt_, position, s->data(), s->size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  } else if (auto b = std::get_if<Blob>(&value)) {
    rc = sqlite3_bind_blob64(stmt_, position, b->bytes.data(), b->bytes.size(), SQLITE_TRANSIENT);
  }
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

Statement& Statement::bindAll(std::span<const Value> values) {
  for (size_t i = 0; i < values.size(); ++i) bind(static_cast<int>(i + 1), values[i]);
  return *this;
}

Statement& Statement::bindText(int position, std::string_view text) {
  // SQLite binds a null pointer as NULL, and an empty view may hold one; empty text stays text.
  const char* data = text.data() != nullptr ? text.data() : "";
  int rc = sqlite3_bind_text64(stmt_, position, data, text.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

Statement& Statement::bindTextView(int position, std::string_view text) {
  const char* data = text.data() != nullptr ? text.data() : "";
  int rc = sqlite3_bind_text64(stmt_, position, data, text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

Statement& Statement::bindInt(int position, std::int64_t value) {
  int rc = sqlite3_bind_int64(stmt_, position, value);
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

Statement& Statement::bindDouble(int position, double value) {
  int rc = sqlite3_bind_double(stmt_, position, value);
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

Statement& Statement::bindNull(int position) {
  int rc = sqlite3_bind_null(stmt_, position);
  if (rc != SQLITE_OK) fail(db_, rc);
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  fail(db_, rc);
}

int Statement::run() {
  while (step()) {
  }
  return sqlite3_changes(db_);
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int Statement::columnCount() const { return sqlite3_column_count(stmt_); }

Value Statement::column(int index) const {
  switch (sqlite3_column_type(stmt_, index)) {
    case SQLITE_INTEGER:
      return static_cast<std::int64_t>(sqlite3_column_int64(stmt_, index));
    case SQLITE_FLOAT:
      return sqlite3_column_double(stmt_, index);
    case SQLITE_TEXT: {
      auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
      return std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(stmt_, index)));
    }
    case SQLITE_BLOB: {
      auto p = static_cast<const char*>(sqlite3_column_blob(stmt_, index));
      return Blob{std::string(p ? p : "", static_cast<size_t>(sqlite3_column_bytes(stmt_, index)))};
    }
    default:
      return Null{};
  }
}

std::optional<std::string_view> Statement::columnText(int index) const {
  if (sqlite3_column_type(stmt_, index) != SQLITE_TEXT) return std::nullopt;
  auto p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, index));
  if (!p) return std::string_view();
  return std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, index)));
}

std::optional<std::string_view> Statement::columnBlob(int index) const {
  if (sqlite3_column_type(stmt_, index) != SQLITE_BLOB) return std::nullopt;
  auto p = static_cast<const char*>(sqlite3_column_blob(stmt_, index));
  if (!p) return std::string_view();
  return std::string_view(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, index)));
}

std::optional<std::int64_t> Statement::columnInteger(int index) const {
  if (sqlite3_column_type(stmt_, index) != SQLITE_INTEGER) return std::nullopt;
  return static_cast<std::int64_t>(sqlite3_column_int64(stmt_, index));
}

Row Statement::row() const {
  Row r;
  int n = columnCount();
  r.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) r.push_back(column(i));
  return r;
}

}  // namespace nodrel::db
