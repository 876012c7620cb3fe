#include "db/connection.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "db/error.h"
#include "tests/support/temp_home.h"

namespace nodrel::db {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kCreateTable = "CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT);";
constexpr std::string_view kInsert = "INSERT INTO t (v) VALUES (?)";

int errorCodeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.code();
  }
  return SQLITE_OK;
}

TEST(Connection, OpensWithPragmas) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto c = Connection::open(path, {.create = true});
  EXPECT_TRUE(fs::exists(path));
  EXPECT_EQ(c.scalar("PRAGMA journal_mode;"), Value(std::string("wal")));
  EXPECT_EQ(c.scalar("PRAGMA foreign_keys;"), Value(std::int64_t{1}));
  EXPECT_EQ(c.scalar("PRAGMA query_only;"), Value(std::int64_t{0}));
  // FTS5 with bm25() is part of what the store needs.
  c.exec("CREATE VIRTUAL TABLE f USING fts5(body, tags);");
  c.run("INSERT INTO f (body, tags) VALUES ('hello world', '')");
  EXPECT_EQ(c.query("SELECT bm25(f) FROM f WHERE f MATCH 'hello'").size(), 1u);
}

TEST(Connection, OpenWithoutCreateNeedsTheFile) {
  testing::TempHome home;
  const fs::path path = home.path() / "missing.db";
  EXPECT_EQ(errorCodeOf([&] { Connection::open(path); }) & 0xff, SQLITE_CANTOPEN);
  EXPECT_FALSE(fs::exists(path));
  Connection::open(path, {.create = true});
  EXPECT_NO_THROW(Connection::open(path));
}

TEST(Connection, OpenFailuresCarrySqliteErrors) {
  testing::TempHome home;
  // A regular file where the data directory should be.
  const fs::path blocker = home.path() / "Nodrel";
  std::ofstream(blocker) << "x";
  try {
    Connection::open(blocker / "nodrel.db", {.create = true});
    ADD_FAILURE() << "opened a database below a regular file";
  } catch (const Error& e) {
    EXPECT_EQ(e.primaryCode(), SQLITE_CANTOPEN);
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  // A file that is not a database opens, but its first pragma fails.
  const fs::path junk = home.path() / "junk.db";
  std::ofstream(junk) << std::string(4096, 'j');
  EXPECT_EQ(errorCodeOf([&] { Connection::open(junk); }), SQLITE_NOTADB);
}

TEST(Connection, QueryOnlyRefusesWrites) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  {
    auto c = Connection::open(path, {.create = true});
    c.exec(kCreateTable);
    c.run(kInsert, {text("kept")});
  }
  auto reader = Connection::open(path, {.queryOnly = true});
  EXPECT_EQ(reader.scalar("SELECT v FROM t"), Value(std::string("kept")));
  EXPECT_EQ(errorCodeOf([&] { reader.run(kInsert, {text("new")}); }) & 0xff, SQLITE_READONLY);
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), Value(std::int64_t{1}));
}

// One program holds the write lock briefly; the other's write waits for it instead of failing.
TEST(Connection, WriteWaitsForABriefLock) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec(kCreateTable);
  auto waiter = Connection::open(path);

  holder.exec("BEGIN IMMEDIATE;");
  holder.run(kInsert, {text("from holder")});
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    holder.exec("COMMIT;");
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_NO_THROW(waiter.run(kInsert, {text("from waiter")}));
  const auto waited = std::chrono::steady_clock::now() - start;
  release.join();
  EXPECT_GE(waited, std::chrono::milliseconds(150));
  EXPECT_EQ(waiter.scalar("SELECT count(*) FROM t"), Value(std::int64_t{2}));
}

// The wait is bounded by the timeout: a lock held past it is a busy error after about that long.
TEST(Connection, ALockHeldPastTheTimeoutFailsAfterIt) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec(kCreateTable);
  auto waiter = Connection::open(path);
  holder.exec("BEGIN IMMEDIATE;");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(waiter.run(kInsert, {text("x")}), Error);
  const auto waited = std::chrono::steady_clock::now() - start;
  holder.exec("COMMIT;");
  EXPECT_GE(waited, std::chrono::milliseconds(2000));
  EXPECT_LT(waited, std::chrono::milliseconds(4000));
  waiter.setBusyTimeout(100);
  holder.exec("BEGIN IMMEDIATE;");
  EXPECT_THROW(waiter.run(kInsert, {text("x")}), Error);
  holder.exec("COMMIT;");
}

// One timeout per call: once it has passed, the call's next statement that meets the lock fails
// at once instead of waiting as long again; a new call waits afresh.
TEST(Connection, ACallWaitsOutOneTimeoutHoweverManyStatementsItRuns) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec(kCreateTable);
  auto waiter = Connection::open(path, {.busyTimeoutMs = 300});
  holder.exec("BEGIN IMMEDIATE;");
  auto timed = [&] {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(waiter.run(kInsert, {text("x")}), Error);
    return std::chrono::steady_clock::now() - start;
  };
  EXPECT_GE(timed(), std::chrono::milliseconds(300));
  for (int i = 0; i < 3; ++i) EXPECT_LT(timed(), std::chrono::milliseconds(100));
  waiter.beginCall();
  EXPECT_GE(timed(), std::chrono::milliseconds(300));
  holder.exec("COMMIT;");
  EXPECT_NO_THROW(waiter.run(kInsert, {text("x")}));
}

TEST(Connection, WithoutTimeoutALockIsABusyError) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec(kCreateTable);
  auto impatient = Connection::open(path, {.busyTimeoutMs = 0});
  holder.exec("BEGIN IMMEDIATE;");
  try {
    impatient.run(kInsert, {text("x")});
    ADD_FAILURE() << "wrote through a held lock";
  } catch (const Error& e) {
    EXPECT_TRUE(e.isBusyOrLocked()) << e.code() << " " << e.what();
  }
  holder.exec("COMMIT;");
  EXPECT_NO_THROW(impatient.run(kInsert, {text("x")}));
}

TEST(Connection, ReadersProceedWhileOneWrites) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto writer = Connection::open(path, {.create = true});
  writer.exec(kCreateTable);
  writer.run(kInsert, {text("committed")});
  auto reader = Connection::open(path, {.queryOnly = true, .busyTimeoutMs = 0});
  writer.exec("BEGIN IMMEDIATE;");
  writer.run(kInsert, {text("pending")});
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), Value(std::int64_t{1}));
  writer.exec("COMMIT;");
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), Value(std::int64_t{2}));
}

// Each hook is a process of its own that opens the database, writes and exits without a
// checkpoint. SQLite's own checkpoint forgets, at each such open, what earlier ones copied, so
// the log would never start again and every commit would copy all of it; the hooks' bound
// empties it instead, and a reader after them sees every row.
TEST(Connection, HookConnectionsKeepTheLogShort) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  const fs::path log = path.string() + "-wal";
  constexpr int kPages = 16;
  OpenOptions hook = hookOpenOptions();
  hook.truncateLogAtPages = kPages;
  Connection::open(path, hook).exec(kCreateTable);
  const std::string row(3 * 4096, 'r');  // some four pages a write
  std::uintmax_t longest = 0;
  for (int i = 0; i < 40; ++i) {
    auto c = Connection::open(path, hook);
    c.run(kInsert, {text(row)});
    longest = std::max(longest, fs::file_size(log));
  }
  EXPECT_LE(longest, static_cast<std::uintmax_t>(kPages + 8) * (4096 + 24));
  EXPECT_EQ(Connection::open(path).scalar("SELECT count(*) FROM t"), Value(std::int64_t{40}));
}

// The log is emptied only once no reader needs it; a reader at work neither holds up the
// commit that found the log long nor keeps the log long past its own end.
TEST(Connection, AHookCommitDoesNotWaitForAReaderToEmptyTheLog) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  const fs::path log = path.string() + "-wal";
  OpenOptions hook = hookOpenOptions();
  hook.truncateLogAtPages = 4;
  auto writer = Connection::open(path, hook);
  writer.exec(kCreateTable);
  auto reader = Connection::open(path);
  reader.exec("BEGIN;");
  reader.scalar("SELECT count(*) FROM t");
  const std::string row(5 * 4096, 'r');
  const auto start = std::chrono::steady_clock::now();
  writer.run(kInsert, {text(row)});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_GT(fs::file_size(log), 0u);
  reader.exec("COMMIT;");
  writer.run(kInsert, {text("after the reader")});
  EXPECT_EQ(fs::file_size(log), 0u);
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), Value(std::int64_t{2}));
}

TEST(Connection, RunQueryScalarAndEach) {
  auto c = Connection::openInMemory();
  c.exec("CREATE TABLE t (id INTEGER PRIMARY KEY, v TEXT); CREATE TABLE u (x);");
  EXPECT_EQ(c.run(kInsert, {text("a")}), 1);
  EXPECT_EQ(c.lastInsertRowid(), 1);
  c.run(kInsert, {text("b")});
  c.run(kInsert, {text("c")});
  EXPECT_EQ(c.run("UPDATE t SET v = upper(v) WHERE id > ?", {std::int64_t{1}}), 2);
  EXPECT_EQ(c.changes(), 2);
  auto rows = c.query("SELECT id, v FROM t ORDER BY id");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[2], (Row{std::int64_t{3}, std::string("C")}));
  EXPECT_FALSE(c.scalar("SELECT v FROM t WHERE id = ?", {std::int64_t{99}}));
  int seen = 0;
  c.each("SELECT id FROM t ORDER BY id", {}, [&](const Row&) { return ++seen < 2; });
  EXPECT_EQ(seen, 2);
  EXPECT_EQ(c.scalar("PRAGMA foreign_keys;"), Value(std::int64_t{1}));
}

TEST(Connection, ForeignKeysAreEnforced) {
  auto c = Connection::openInMemory();
  c.exec(
      "CREATE TABLE p (id TEXT PRIMARY KEY);"
      "CREATE TABLE ch (pid TEXT REFERENCES p(id));");
  EXPECT_EQ(errorCodeOf([&] { c.run("INSERT INTO ch VALUES ('none')"); }),
            SQLITE_CONSTRAINT_FOREIGNKEY);
}

// Only a read-only connection to a file, outside a transaction, has another reader opened
// beside it; that reader sees the file's rows and cannot write.
TEST(Connection, AnotherReaderOnlyBesideAReadOnlyConnectionOutsideATransaction) {
  testing::TempHome home;
  const fs::path path = home.path() / "x.db";
  auto writer = Connection::open(path, {.create = true});
  writer.exec(kCreateTable);
  writer.run(kInsert, {Value(std::string("a"))});
  EXPECT_FALSE(writer.openAnotherReader());
  EXPECT_FALSE(Connection::openInMemory().openAnotherReader());

  auto reader = Connection::open(path, {.readOnly = true});
  auto another = reader.openAnotherReader();
  ASSERT_TRUE(another);
  EXPECT_EQ(another->scalar("SELECT v FROM t"), Value(std::string("a")));
  EXPECT_NE(errorCodeOf([&] { another->run(kInsert, {Value(std::string("b"))}); }), SQLITE_OK);

  Connection moved = std::move(reader);
  EXPECT_TRUE(moved.openAnotherReader());
  moved.exec("BEGIN");
  EXPECT_FALSE(moved.openAnotherReader());
  moved.exec("COMMIT");
}

TEST(Connection, MovedConnectionKeepsWorking) {
  auto a = Connection::openInMemory();
  a.exec("CREATE TABLE t (x);");
  Connection b = std::move(a);
  b.run("INSERT INTO t VALUES (1)");
  auto c = Connection::openInMemory();
  c = std::move(b);
  EXPECT_EQ(c.scalar("SELECT count(*) FROM t"), Value(std::int64_t{1}));
}

}  // namespace
}  // namespace nodrel::db
