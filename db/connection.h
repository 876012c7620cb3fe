// db/connection.h: one SQLite connection (RAII), the statements it runs, and the opener that
// both programs use.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/statement.h"
#include "db/value.h"

struct sqlite3;

namespace nodrel::db {

struct OpenOptions {
  bool create = false;     // create the file when it is missing
  bool queryOnly = false;  // "PRAGMA query_only = ON;" after the pragmas
  // For the commands that only read: the file is opened read-only, its journal mode is left as
  // it is and query_only is set. In a directory this process cannot write, and with no -shm
  // file beside the database, it is opened immutable, so that no -shm file is needed. Its page
  // cache is small, as suits a process that reads once and exits, and it has no lock of its
  // own: such a connection is used from one thread at a time.
  bool readOnly = false;
  int busyTimeoutMs = 2000;
  // False for the hooks, which run after every turn: the last connection to close would
  // otherwise copy the whole write-ahead log into the database each time. The log is then
  // checkpointed as it grows, and by the server and `snapshot` when they close.
  bool checkpointOnClose = true;
  // For a connection that one thread uses at a time, as every command of `nodrel` does: SQLite
  // leaves out its connection's mutexes, which it would otherwise take at every call.
  bool singleThread = false;
  // Temporary files (the journal of a savepoint, a sort) kept in memory: a hook's write spills
  // its savepoint journal past SQLite's 64 KB, and a file for it costs more than the write.
  bool temporaryInMemory = false;
  // A commit that leaves the write-ahead log at this many pages or more copies the log into the
  // database and empties it, once no reader needs it (0: SQLite's own checkpoint at 1,000 pages,
  // which leaves the log's length as it is). A connection that opens the database while no
  // other has it open reads the whole log to rebuild its index, and forgets what earlier
  // processes copied: for processes that each open, write and exit, as the hooks do, SQLite's
  // own checkpoint would copy an ever longer log at every commit.
  int truncateLogAtPages = 0;
};

// The hooks' connection: a process that runs after every turn, writes a few rows and exits. A
// hook's write adds some 30 to 70 pages to the log, so the log is emptied every few writes and a
// hook never reads more than a megabyte of it at its start.
inline constexpr int kHookLogPages = 256;
inline OpenOptions hookOpenOptions() {
  return {.create = true,
          .checkpointOnClose = false,
          .singleThread = true,
          .temporaryInMemory = true,
          .truncateLogAtPages = kHookLogPages};
}

class Connection {
 public:
  // Opens the file and runs "PRAGMA journal_mode=WAL;" and "PRAGMA foreign_keys=ON;" (not
  // with readOnly). Throws Error (with SQLite's message) when the file cannot be opened or a
  // pragma fails.
  static Connection open(const std::filesystem::path& path, const OpenOptions& options = {});
  // A private in-memory database with the same pragmas; for tests and scratch work.
  static Connection openInMemory();

  Connection(Connection&& other) noexcept;
  Connection& operator=(Connection&& other) noexcept;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection();

  Statement prepare(std::string_view sql);
  // Runs one or more statements without parameters.
  void exec(std::string_view sql);
  // Prepares, binds and runs for effect; returns the number of rows changed.
  int run(std::string_view sql, std::span<const Value> bindings = {});
  int run(std::string_view sql, std::initializer_list<Value> bindings);
  // All rows of a query.
  std::vector<Row> query(std::string_view sql, std::span<const Value> bindings = {});
  std::vector<Row> query(std::string_view sql, std::initializer_list<Value> bindings);
  // Streams rows to `onRow`; it returns false to stop early.
  void each(std::string_view sql, std::span<const Value> bindings,
            const std::function<bool(const Row&)>& onRow);
  // The first column of the first row, or nothing when there is no row.
  std::optional<Value> scalar(std::string_view sql, std::span<const Value> bindings = {});
  std::optional<Value> scalar(std::string_view sql, std::initializer_list<Value> bindings);

  // True between BEGIN (or an outermost SAVEPOINT) and its end.
  bool inTransaction() const noexcept;
  // Another connection to this one's file, opened as open() opens a readOnly one and with this
  // one's busy timeout, for a second thread to read beside this one's; nothing when this one
  // was not opened readOnly on a file, or is inside a transaction, whose snapshot another
  // connection would not share. Throws Error when the file cannot be opened.
  std::optional<Connection> openAnotherReader() const;
  std::int64_t lastInsertRowid() const;
  int changes() const;
  sqlite3* handle() const noexcept { return db_; }

  // How long a call that meets another connection's lock keeps trying before its statements
  // fail with SQLite's busy error; 0 fails at once. The time runs from the call's first wait,
  // and once it has passed, every later statement of the call that meets a lock fails at once.
  // Setting the timeout begins a new call.
  void setBusyTimeout(int milliseconds);
  // Begins a new call (a tool call of the server): its first wait starts the timeout afresh.
  // Without it, the connection's whole life is one call, as a command's is.
  void beginCall();

 private:
  struct BusyWait;
  explicit Connection(sqlite3* db);
  sqlite3* db_ = nullptr;
  std::unique_ptr<BusyWait> busy_;  // the busy handler's state, at a fixed address
  bool readOnly_ = false;           // opened with OpenOptions::readOnly
};

}  // namespace nodrel::db
