#include "db/statement.h"

#include <sqlite3.h>

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "db/connection.h"
#include "db/error.h"

namespace nodrel::db {
namespace {

class StatementTest : public ::testing::Test {
 protected:
  void SetUp() override { db_.exec("CREATE TABLE t (v);"); }
  Connection db_ = Connection::openInMemory();
};

TEST_F(StatementTest, ValuesKeepTheirStorageClass) {
  struct Case {
    const char* name;
    Value value;
    const char* type;
  };
  const Case cases[] = {
      {"null", Null{}, "null"},
      {"integer", std::int64_t{42}, "integer"},
      {"int64 max", std::numeric_limits<std::int64_t>::max(), "integer"},
      {"int64 min", std::numeric_limits<std::int64_t>::min(), "integer"},
      {"double", 2.5, "real"},
      {"integral double", 7.0, "real"},
      {"text", std::string("héllo"), "text"},
      {"empty text", std::string(), "text"},
      {"text with NUL", std::string("a\0b", 3), "text"},
      {"numeric text", std::string("12"), "text"},
      {"blob", Blob{std::string("\x00\xff\x01", 3)}, "blob"},
      {"empty blob", Blob{}, "blob"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    db_.exec("DELETE FROM t;");
    db_.run("INSERT INTO t (v) VALUES (?)", {c.value});
    auto rows = db_.query("SELECT v, typeof(v) FROM t");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], c.value);
    EXPECT_EQ(rows[0][1], Value(std::string(c.type)));
  }
}

TEST_F(StatementTest, TypedBinders) {
  Statement st(db_.handle(), "SELECT ?, ?, ?, ?, ?, typeof(?6), ?7, typeof(?8)");
  const std::string kept("v\0w", 3);
  st.bindText(1, std::string_view("x\0y", 3))
      .bindInt(2, -9)
      .bindDouble(3, 0.25)
      .bindNull(4)
      .bindText(5, std::string_view())  // an empty view is empty text, not NULL
      .bindText(6, std::string_view())
      .bindTextView(7, kept)  // read where it lies, with its length
      .bindTextView(8, std::string_view());
  ASSERT_TRUE(st.step());
  EXPECT_EQ(st.row(), (Row{std::string("x\0y", 3), std::int64_t{-9}, 0.25, Null{}, std::string(),
                           std::string("text"), kept, std::string("text")}));
  EXPECT_FALSE(st.step());
  EXPECT_EQ(st.columnCount(), 8);
}

TEST_F(StatementTest, ColumnTextReadsOnlyText) {
  Statement st(db_.handle(), "SELECT ?, '', 12, 1.5, NULL, x'6162'");
  st.bindText(1, std::string_view("a\0b", 3));
  ASSERT_TRUE(st.step());
  EXPECT_EQ(st.columnText(0), std::string_view("a\0b", 3));
  EXPECT_EQ(st.columnText(1), std::string_view());
  for (int i = 2; i < 6; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(st.columnText(i), std::nullopt);  // no conversion, unlike sqlite3_column_text
  }
}

TEST_F(StatementTest, ResetAllowsReuse) {
  Statement st(db_.handle(), "INSERT INTO t (v) VALUES (?)");
  for (std::int64_t i = 0; i < 3; ++i) {
    st.bindInt(1, i);
    EXPECT_EQ(st.run(), 1);
    st.reset();
  }
  // reset() clears bindings: an unbound parameter is NULL.
  st.run();
  EXPECT_EQ(db_.scalar("SELECT count(*) FROM t WHERE v IS NULL"), Value(std::int64_t{1}));
  EXPECT_EQ(db_.scalar("SELECT sum(v) FROM t"), Value(std::int64_t{3}));
}

TEST_F(StatementTest, PrepareErrorsCarryMessageAndCode) {
  struct Case {
    const char* sql;
    int code;
    const char* messagePart;
  };
  const Case cases[] = {
      {"SELEC 1", SQLITE_ERROR, "syntax error"},
      {"SELECT nope FROM t", SQLITE_ERROR, "no such column: nope"},
      {"SELECT * FROM missing", SQLITE_ERROR, "no such table: missing"},
      {"", SQLITE_MISUSE, "empty"},
      {"  -- only a comment", SQLITE_MISUSE, "empty"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    try {
      Statement st(db_.handle(), c.sql);
      ADD_FAILURE() << "prepared";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), c.code);
      EXPECT_NE(std::string(e.what()).find(c.messagePart), std::string::npos) << e.what();
    }
  }
}

TEST_F(StatementTest, BindOutOfRangeIsAnError) {
  Statement st(db_.handle(), "SELECT ?");
  try {
    st.bindInt(2, 1);
    ADD_FAILURE() << "bound position 2 of 1";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), SQLITE_RANGE);
    EXPECT_NE(std::string(e.what()).find("out of range"), std::string::npos) << e.what();
  }
  EXPECT_THROW(st.bind(0, Value(std::int64_t{1})), Error);
  std::vector<Value> tooMany{std::int64_t{1}, std::int64_t{2}};
  EXPECT_THROW(st.bindAll(tooMany), Error);
}

// A failure in the middle of the rows is an error of the statement, not a crash, and the
// connection stays usable.
TEST_F(StatementTest, FailureWhileSteppingIsAnError) {
  constexpr std::string_view kFailsOnThirdRow = R"sql(
    WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c WHERE x < 5)
    SELECT CASE WHEN x = 3 THEN abs(-9223372036854775807 - 1) ELSE x END FROM c)sql";
  Statement st(db_.handle(), kFailsOnThirdRow);
  EXPECT_TRUE(st.step());
  EXPECT_TRUE(st.step());
  try {
    st.step();
    ADD_FAILURE() << "stepped through an overflow";
  } catch (const Error& e) {
    EXPECT_EQ(e.primaryCode(), SQLITE_ERROR);
    EXPECT_NE(std::string(e.what()).find("integer overflow"), std::string::npos) << e.what();
  }
  int rows = 0;
  EXPECT_THROW(db_.each(kFailsOnThirdRow, {}, [&](const Row&) { return ++rows > 0; }), Error);
  EXPECT_EQ(rows, 2);
  EXPECT_THROW(db_.query(kFailsOnThirdRow), Error);
  EXPECT_EQ(db_.scalar("SELECT 1"), Value(std::int64_t{1}));
}

TEST_F(StatementTest, ConstraintFailureOnRun) {
  db_.exec("CREATE TABLE u (id TEXT PRIMARY KEY NOT NULL);");
  db_.run("INSERT INTO u VALUES ('a')");
  try {
    db_.run("INSERT INTO u VALUES ('a')");
    ADD_FAILURE() << "inserted a duplicate key";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), SQLITE_CONSTRAINT_PRIMARYKEY);
    EXPECT_EQ(e.primaryCode(), SQLITE_CONSTRAINT);
    EXPECT_NE(std::string(e.what()).find("UNIQUE constraint failed: u.id"), std::string::npos)
        << e.what();
  }
}

TEST_F(StatementTest, MovedStatementOwnsTheHandle) {
  Statement a(db_.handle(), "SELECT 5");
  Statement b = std::move(a);
  ASSERT_TRUE(b.step());
  EXPECT_EQ(b.column(0), Value(std::int64_t{5}));
  Statement c(db_.handle(), "SELECT 6");
  c = std::move(b);
  c.reset();
  ASSERT_TRUE(c.step());
  EXPECT_EQ(c.column(0), Value(std::int64_t{5}));
  // Stepping a moved-from statement is an error, not a crash.
  EXPECT_THROW(a.step(), Error);
}

}  // namespace
}  // namespace nodrel::db
