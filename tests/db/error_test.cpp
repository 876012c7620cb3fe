#include "db/error.h"

#include <sqlite3.h>

#include <string>

#include <gtest/gtest.h>

namespace nodrel::db {
namespace {

TEST(DbError, CodesAndBusiness) {
  struct Case {
    int code;
    int primary;
    bool busy;
  };
  const Case cases[] = {
      {SQLITE_BUSY, SQLITE_BUSY, true},
      {SQLITE_BUSY_SNAPSHOT, SQLITE_BUSY, true},
      {SQLITE_LOCKED, SQLITE_LOCKED, true},
      {SQLITE_LOCKED_SHAREDCACHE, SQLITE_LOCKED, true},
      {SQLITE_CONSTRAINT_UNIQUE, SQLITE_CONSTRAINT, false},
      {SQLITE_ERROR, SQLITE_ERROR, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    const Error e(c.code, "message");
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.primaryCode(), c.primary);
    EXPECT_EQ(e.isBusyOrLocked(), c.busy);
    EXPECT_EQ(e.message(), "message");
    // The code travels with the text, wherever a caller shows only what().
    EXPECT_EQ(std::string(e.what()), "SQLite error " + std::to_string(c.code) + ": message");
  }
}

}  // namespace
}  // namespace nodrel::db
