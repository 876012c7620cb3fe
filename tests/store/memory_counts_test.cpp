// Counting live memories by project and by tier, on nodrel's database and on one without tables.
#include "store/memory_counts.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>

#include "db/error.h"
#include "db/value.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

TEST(MemoryCounts, CountLiveRowsOnly) {
  testing::TestDatabase store;
  db::Connection& db = store.db();
  struct Row {
    const char* id;
    const char* tier;
    const char* project;
    bool deleted;
  };
  const Row rows[] = {{"a", "episodic", "/p", false},
                      {"b", "episodic", "/p", false},
                      {"c", "cold", "/p", false},
                      {"d", "semantic", "/p", true},
                      {"e", "episodic", "/q", false}};
  for (const Row& row : rows) {
    db.run("INSERT INTO memories (id, tier, body, project, deleted_at) VALUES (?, ?, 'b', ?, ?)",
           {db::text(row.id), db::text(row.tier), db::text(row.project),
            row.deleted ? db::text("2026-01-01T00:00:00.000+0000") : db::Value(db::Null{})});
  }
  EXPECT_EQ(countProjectMemories("/p", db), 3);
  EXPECT_EQ(countProjectMemoriesIfStored("/p", db), 3);
  EXPECT_EQ(countProjectMemoriesIfStored("/none", db), 0);
  EXPECT_EQ(countMemoriesByTier(db),
            (std::map<std::string, std::int64_t>{{"cold", 1}, {"episodic", 3}}));
}

TEST(MemoryCounts, ADatabaseWithoutTheTableCountsNothing) {
  db::Connection db = db::Connection::openInMemory();
  EXPECT_EQ(countProjectMemoriesIfStored("/p", db), std::nullopt);
  EXPECT_EQ(countMemoriesByTier(db), std::nullopt);
  EXPECT_THROW(countProjectMemories("/p", db), db::Error);
}

}  // namespace
}  // namespace nodrel::store
