#include "db/connection.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <sqlite3.h>

#include "db/error.h"

namespace nodrel::db {
namespace {

// WAL lets the hook commands read while the server writes.
constexpr std::string_view kJournalPragma = "PRAGMA journal_mode=WAL;";
constexpr std::string_view kForeignKeysPragma = "PRAGMA foreign_keys=ON;";
constexpr std::string_view kQueryOnlyPragma = "PRAGMA query_only = ON;";
// The commands that only read run once and exit, and read most pages once, in key order: a
// page cache of SQLite's default 2 MB was mostly fresh memory, and on a one-shot process each
// of its pages cost a page fault dearer than reading the page again. Half a megabyte still
// keeps every b-tree's upper levels.
constexpr std::string_view kReadOnlyCachePragma = "PRAGMA cache_size = -512;";
constexpr std::string_view kTemporaryInMemoryPragma = "PRAGMA temp_store = MEMORY;";

}  // namespace

// SQLite's own busy timeout sleeps up to 100 ms between tries, so a program that takes the lock
// back to back (the server answering calls queued on its input, an ingestion's batches) could
// hold another out past the timeout; trying every millisecond catches the gaps between its
// transactions.
//
// The timeout runs from the first wait of the call, not of each statement: a call that met a
// lock held for long would otherwise wait the whole timeout again at each of its statements.
struct Connection::BusyWait {
  std::chrono::milliseconds timeout{0};
  std::optional<std::chrono::steady_clock::time_point> firstWait;

  static int retry(void* data, int /*attempts*/) {
    auto* wait = static_cast<BusyWait*>(data);
    const auto now = std::chrono::steady_clock::now();
    if (!wait->firstWait) wait->firstWait = now;
    if (now - *wait->firstWait >= wait->timeout) return 0;
    sqlite3_sleep(1);
    return 1;
  }

  // Set from OpenOptions::truncateLogAtPages; the write-ahead log hook's bound.
  int truncateLogAtPages = 0;

  // Called after each commit with the log's length in pages, in place of SQLite's own
  // checkpoint. The copy waits for no one: a reader still at work, or another writer, leaves the
  // log to a later commit rather than hold up the one that has just committed.
  static int truncateLongLog(void* data, sqlite3* db, const char* schema, int logPages) {
    auto* wait = static_cast<BusyWait*>(data);
    if (logPages < wait->truncateLogAtPages) return SQLITE_OK;
    sqlite3_busy_handler(db, nullptr, nullptr);
    sqlite3_wal_checkpoint_v2(db, schema, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_handler(db, &BusyWait::retry, wait);
    return SQLITE_OK;
  }
};

namespace {

void configure(Connection& c, int busyTimeoutMs) {
  // Without a timeout a hook's write that meets the server's lock would fail at once and its
  // memory would be lost; two seconds outlasts any single write of either program.
  c.setBusyTimeout(busyTimeoutMs);
  c.exec(kJournalPragma);
  c.exec(kForeignKeysPragma);
}

// Before SQLite's first use in the process: nothing reads SQLite's memory statistics, and
// keeping them takes a global mutex at every allocation. Configuration after the first use is
// refused, which changes nothing.
void configureLibrary() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
    return true;
  }();
  (void)configured;
}

// The path as a "file:" URI, every byte outside the unreserved set percent-encoded so that a
// "?", "#" or "%" in a directory name stays part of the path.
std::string fileURI(const std::filesystem::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string uri = "file:";
  for (unsigned char c : path.string()) {
    if (std::isalnum(c) != 0 || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += static_cast<char>(c);
    } else {
      uri += '%';
      uri += kHex[c >> 4];
      uri += kHex[c & 0xF];
    }
  }
  return uri;
}

// A WAL database needs its -shm file to be read. Where it cannot be created, and there is none,
// no writer can be at work (a writer in WAL mode keeps one), so the file is read as it stands.
bool needsImmutableOpen(const std::filesystem::path& path) {
  std::filesystem::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  if (::access(directory.c_str(), W_OK) == 0) return false;
  std::error_code ec;
  return !std::filesystem::exists(path.string() + "-shm", ec);
}

}  // namespace

void Connection::setBusyTimeout(int milliseconds) {
  busy_->timeout = std::chrono::milliseconds(std::max(milliseconds, 0));
  busy_->firstWait.reset();
  sqlite3_busy_handler(db_, &BusyWait::retry, busy_.get());
}

void Connection::beginCall() { busy_->firstWait.reset(); }

Connection Connection::open(const std::filesystem::path& path, const OpenOptions& options) {
  configureLibrary();
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | (options.create ? SQLITE_OPEN_CREATE : 0);
  std::string name = path.string();
  if (options.readOnly) {
    // Only the one-shot commands read this way, each connection on one thread. Without
    // SQLite's lock around every call, a scan of the vectors costs a tenth less: each row's
    // step and column reads took and released it six to eight times.
    flags = SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    name = fileURI(path) + (needsImmutableOpen(path) ? "?immutable=1" : "");
  }
  if (options.singleThread) flags |= SQLITE_OPEN_NOMUTEX;
  int rc = sqlite3_open_v2(name.c_str(), &db, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    int code = db ? sqlite3_extended_errcode(db) : rc;
    sqlite3_close(db);
    throw Error(code, msg);
  }
  sqlite3_extended_result_codes(db, 1);
  if (!options.checkpointOnClose)
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  Connection c(db);
  if (options.readOnly) {
    // Switching the journal mode would be a write, and on read-only media a failing one.
    c.setBusyTimeout(options.busyTimeoutMs);
    c.exec(kQueryOnlyPragma);
    c.exec(kReadOnlyCachePragma);
    c.readOnly_ = true;
    return c;
  }
  configure(c, options.busyTimeoutMs);
  if (options.queryOnly) c.exec(kQueryOnlyPragma);
  if (options.temporaryInMemory) c.exec(kTemporaryInMemoryPragma);
  if (options.truncateLogAtPages > 0) {
    c.busy_->truncateLogAtPages = options.truncateLogAtPages;
    sqlite3_wal_hook(db, &BusyWait::truncateLongLog, c.busy_.get());
  }
  return c;
}

Connection Connection::openInMemory() {
  configureLibrary();
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_close(db);
    throw Error(rc, sqlite3_errstr(rc));
  }
  sqlite3_extended_result_codes(db, 1);
  Connection c(db);
  configure(c, 2000);
  return c;
}

Connection::Connection(sqlite3* db) : db_(db), busy_(std::make_unique<BusyWait>()) {}

Connection::Connection(Connection&& other) noexcept
    : db_(std::exchange(other.db_, nullptr)),
      busy_(std::move(other.busy_)),
      readOnly_(std::exchange(other.readOnly_, false)) {}

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    sqlite3_close_v2(db_);
    db_ = std::exchange(other.db_, nullptr);
    busy_ = std::move(other.busy_);
    readOnly_ = std::exchange(other.readOnly_, false);
  }
  return *this;
}

Connection::~Connection() { sqlite3_close_v2(db_); }

Statement Connection::prepare(std::string_view sql) { return Statement(db_, sql); }

void Connection::exec(std::string_view sql) {
  std::string owned(sql);
  char* err = nullptr;
  int rc = sqlite3_exec(db_, owned.c_str(), nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string msg = err ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    throw Error(sqlite3_extended_errcode(db_), msg);
  }
}

int Connection::run(std::string_view sql, std::span<const Value> bindings) {
  Statement st = prepare(sql);
  st.bindAll(bindings);
  return st.run();
}

int Connection::run(std::string_view sql, std::initializer_list<Value> bindings) {
  return run(sql, std::span<const Value>(bindings.begin(), bindings.size()));
}

std::vector<Row> Connection::query(std::string_view sql, std::span<const Value> bindings) {
  std::vector<Row> rows;
  each(sql, bindings, [&](const Row& r) {
    rows.push_back(r);
    return true;
  });
  return rows;
}

std::vector<Row> Connection::query(std::string_view sql, std::initializer_list<Value> bindings) {
  return query(sql, std::span<const Value>(bindings.begin(), bindings.size()));
}

void Connection::each(std::string_view sql, std::span<const Value> bindings,
                      const std::function<bool(const Row&)>& onRow) {
  Statement st = prepare(sql);
  st.bindAll(bindings);
  while (st.step()) {
    if (!onRow(st.row())) break;
  }
}

std::optional<Value> Connection::scalar(std::string_view sql, std::span<const Value> bindings) {
  Statement st = prepare(sql);
  st.bindAll(bindings);
  if (!st.step()) return std::nullopt;
  return st.column(0);
}

std::optional<Value> Connection::scalar(std::string_view sql,
                                        std::initializer_list<Value> bindings) {
  return scalar(sql, std::span<const Value>(bindings.begin(), bindings.size()));
}

bool Connection::inTransaction() const noexcept { return sqlite3_get_autocommit(db_) == 0; }

std::optional<Connection> Connection::openAnotherReader() const {
  if (!readOnly_ || inTransaction()) return std::nullopt;
  const char* file = sqlite3_db_filename(db_, "main");
  if (file == nullptr || *file == '\0') return std::nullopt;
  return open(file, {.readOnly = true, .busyTimeoutMs = static_cast<int>(busy_->timeout.count())});
}

std::int64_t Connection::lastInsertRowid() const { return sqlite3_last_insert_rowid(db_); }

int Connection::changes() const { return sqlite3_changes(db_); }

}  // namespace nodrel::db
