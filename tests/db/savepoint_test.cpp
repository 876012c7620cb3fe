#include "db/savepoint.h"

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "db/error.h"
#include "tests/support/temp_home.h"

namespace nodrel::db {
namespace {

std::int64_t count(Connection& c) { return *integerOf(*c.scalar("SELECT count(*) FROM t")); }

class SavepointTest : public ::testing::Test {
 protected:
  void SetUp() override { db_.exec("CREATE TABLE t (v TEXT NOT NULL);"); }
  Connection db_ = Connection::openInMemory();
};

TEST_F(SavepointTest, CommitKeepsTheWrites) {
  {
    Savepoint sp(db_);
    db_.run("INSERT INTO t VALUES ('a')");
    db_.run("INSERT INTO t VALUES ('b')");
    sp.commit();
  }
  EXPECT_EQ(count(db_), 2);
}

TEST_F(SavepointTest, DestructionRollsBack) {
  db_.run("INSERT INTO t VALUES ('before')");
  {
    Savepoint sp(db_);
    db_.run("INSERT INTO t VALUES ('lost')");
  }
  EXPECT_EQ(count(db_), 1);
  // The savepoint is gone, not merely rolled back to: the connection is back in autocommit.
  db_.run("INSERT INTO t VALUES ('after')");
  EXPECT_EQ(count(db_), 2);
  EXPECT_NO_THROW(db_.exec("BEGIN; COMMIT;"));
}

TEST_F(SavepointTest, ExceptionUndoesEverything) {
  try {
    Savepoint sp(db_);
    db_.run("INSERT INTO t VALUES ('first')");
    db_.run("INSERT INTO t VALUES (NULL)");  // violates NOT NULL
    sp.commit();
  } catch (const Error&) {
  }
  EXPECT_EQ(count(db_), 0);
}

TEST_F(SavepointTest, Nested) {
  {
    Savepoint outer(db_, "outer_sp");
    db_.run("INSERT INTO t VALUES ('outer')");
    {
      Savepoint inner(db_, "inner_sp");
      db_.run("INSERT INTO t VALUES ('inner')");
    }
    EXPECT_EQ(count(db_), 1);
    outer.commit();
  }
  EXPECT_EQ(count(db_), 1);
}

TEST_F(SavepointTest, DestructorSurvivesAClosedTransaction) {
  {
    Savepoint sp(db_);
    db_.run("INSERT INTO t VALUES ('x')");
    db_.exec("ROLLBACK;");  // ends the transaction behind the savepoint's back
  }
  EXPECT_EQ(count(db_), 0);
  EXPECT_NO_THROW(db_.run("INSERT INTO t VALUES ('y')"));
}

TEST_F(SavepointTest, OutermostBeginsTheTransactionAndEndsIt) {
  EXPECT_FALSE(db_.inTransaction());
  {
    Savepoint outer(db_, "outer_sp");
    EXPECT_TRUE(db_.inTransaction());
    {
      Savepoint inner(db_, "inner_sp");
      inner.commit();
    }
    EXPECT_TRUE(db_.inTransaction());
    outer.commit();
  }
  EXPECT_FALSE(db_.inTransaction());
}

// A batch that reads before it writes, begun while another connection holds the write lock:
// begun as a reader it could not wait to become a writer and failed with "database is locked"
// at once; begun as a writer it waits out the lock within the busy timeout.
TEST(SavepointLocking, AReadThenWriteBatchWaitsForAnotherWriter) {
  testing::TempHome home;
  const std::filesystem::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec("CREATE TABLE t (v TEXT NOT NULL);");
  auto batchConnection = Connection::open(path);

  holder.exec("BEGIN IMMEDIATE;");
  holder.run("INSERT INTO t VALUES ('holder')");
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    holder.exec("COMMIT;");
  });
  try {
    Savepoint batch(batchConnection, "batch");
    const auto seen = *integerOf(*batchConnection.scalar("SELECT count(*) FROM t"));
    batchConnection.run("INSERT INTO t VALUES (?)", {text("batch saw " + std::to_string(seen))});
    batch.commit();
  } catch (const Error& e) {
    ADD_FAILURE() << e.what();
  }
  release.join();
  EXPECT_EQ(batchConnection.scalar("SELECT v FROM t WHERE v LIKE 'batch%'"), text("batch saw 1"));
}

TEST(SavepointLocking, ALockHeldPastTheTimeoutIsABusyError) {
  testing::TempHome home;
  const std::filesystem::path path = home.path() / "x.db";
  auto holder = Connection::open(path, {.create = true});
  holder.exec("CREATE TABLE t (v TEXT NOT NULL);");
  auto impatient = Connection::open(path, {.busyTimeoutMs = 50});
  holder.exec("BEGIN IMMEDIATE;");
  try {
    Savepoint batch(impatient, "batch");
    ADD_FAILURE() << "began a write through a held lock";
  } catch (const Error& e) {
    EXPECT_TRUE(e.isBusyOrLocked()) << e.what();
  }
  holder.exec("COMMIT;");
  EXPECT_FALSE(impatient.inTransaction());
}

TEST(SavepointLocking, AQueryOnlyConnectionStillGroupsItsReads) {
  testing::TempHome home;
  const std::filesystem::path path = home.path() / "x.db";
  {
    auto writer = Connection::open(path, {.create = true});
    writer.exec("CREATE TABLE t (v TEXT NOT NULL); INSERT INTO t VALUES ('a');");
  }
  auto reader = Connection::open(path, {.queryOnly = true});
  Savepoint reads(reader, "reads");
  EXPECT_EQ(reader.scalar("SELECT count(*) FROM t"), Value(std::int64_t{1}));
  EXPECT_THROW(reader.run("INSERT INTO t VALUES ('b')"), Error);
  EXPECT_NO_THROW(reads.commit());
  EXPECT_FALSE(reader.inTransaction());
}

}  // namespace
}  // namespace nodrel::db
