#include "db/savepoint.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "db/error.h"

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

}  // namespace
}  // namespace nodrel::db
