#include "store/memory.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "db/connection.h"
#include "db/error.h"

namespace nodrel::store {
namespace {

db::Row fullRow() {
  return {db::Value("abc"),
          db::Value("semantic"),
          db::Value("body"),
          db::Value(int64_t{7}),
          db::Value("/p"),
          db::Value("src/a.ts"),
          db::Value("rule"),
          db::Value("x,y"),
          db::Value("2026-01-15T14:03:07.250+0000"),
          db::Value("2026-01-16T00:00:00.000+0000"),
          db::Value(int64_t{3}),
          db::Value(0.5),
          db::Value(int64_t{9}),
          db::Value(int64_t{1}),
          db::Value(int64_t{2}),
          db::Value("parent"),
          db::Value("sess"),
          db::Value(0.25),
          db::Value("file_glob"),
          db::Value("*.ts"),
          db::Value("{}"),
          db::Value("k"),
          db::Value(int64_t{4}),
          db::Value(int64_t{1})};
}

TEST(MemoryEnums, StoredTextsRoundTripExactly) {
  for (auto t : {MemoryType::Correction, MemoryType::Decision, MemoryType::Fact, MemoryType::Rule,
                 MemoryType::Workflow, MemoryType::Observation, MemoryType::KeyPoint,
                 MemoryType::Handoff, MemoryType::State}) {
    EXPECT_EQ(memoryTypeFromRaw(toString(t)), t);
  }
  EXPECT_EQ(toString(MemoryType::KeyPoint), "key_point");
  EXPECT_EQ(memoryTypeFromRaw("keyPoint"), std::nullopt);
  EXPECT_EQ(memoryTierFromRaw("Cold"), std::nullopt);
  EXPECT_EQ(memoryTierFromRaw("cold"), MemoryTier::Cold);
  EXPECT_EQ(memoryConditionTypeFromRaw("repo_path"), MemoryConditionType::RepoPath);
  EXPECT_EQ(memoryConditionTypeFromRaw(" repo_path"), std::nullopt);
}

TEST(MemoryEnums, ContextKindMapping) {
  struct Case {
    const char* kind;
    MemoryType want;
  };
  const Case cases[] = {{"decision", MemoryType::Decision},    {"state", MemoryType::State},
                        {"key_point", MemoryType::KeyPoint},   {"handoff", MemoryType::Handoff},
                        {"keyPoint", MemoryType::Observation}, {"", MemoryType::Observation},
                        {"Decision", MemoryType::Observation}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kind);
    EXPECT_EQ(memoryTypeForContextKind(c.kind), c.want);
  }
}

TEST(MemoryFromRow, DecodesEveryColumn) {
  auto m = memoryFromRow(fullRow());
  ASSERT_TRUE(m);
  EXPECT_EQ(m->id, "abc");
  EXPECT_EQ(m->tier, MemoryTier::Semantic);
  EXPECT_EQ(m->bodyTokens, 7);
  EXPECT_EQ(m->project, "/p");
  EXPECT_EQ(m->type, MemoryType::Rule);
  EXPECT_EQ(platform::sharedTimestampFormatter().format(m->createdAt),
            "2026-01-15T14:03:07.250+0000");
  EXPECT_EQ(m->accessCount, 3);
  EXPECT_DOUBLE_EQ(m->strength, 0.5);
  EXPECT_EQ(m->importance, 9);
  EXPECT_TRUE(m->pinned);
  EXPECT_EQ(m->parentID, "parent");
  EXPECT_EQ(m->conditionType, MemoryConditionType::FileGlob);
  EXPECT_EQ(m->triggerKeywords, "k");
  EXPECT_EQ(m->depth, 4);
  EXPECT_TRUE(m->isTopLevel);

  db::Row longer = fullRow();
  longer.push_back(db::Value(-3.5));  // recall's rank column
  EXPECT_EQ(memoryFromRow(longer), m);
}

TEST(MemoryFromRow, MalformedValuesTakeDefaults) {
  db::Row row = fullRow();
  row[1] = db::Value("archived");
  row[6] = db::Value("keyPoint");
  row[3] = db::Value("7");
  row[11] = db::Value(int64_t{0});  // integer where a real is expected: no conversion
  row[12] = db::Value(7.0);
  row[13] = db::Value(int64_t{2});
  row[17] = db::Null{};
  row[18] = db::Value("glob");
  row[23] = db::Value(1.0);
  auto m = memoryFromRow(row);
  ASSERT_TRUE(m);
  EXPECT_EQ(m->tier, MemoryTier::Episodic);
  EXPECT_EQ(m->type, MemoryType::Observation);
  EXPECT_EQ(m->bodyTokens, 0);
  EXPECT_DOUBLE_EQ(m->strength, 1.0);
  EXPECT_EQ(m->importance, 5);
  EXPECT_FALSE(m->pinned);
  EXPECT_DOUBLE_EQ(m->predictedFutureUse, 0.5);
  EXPECT_EQ(m->conditionType, std::nullopt);
  EXPECT_FALSE(m->isTopLevel);
}

TEST(MemoryFromRow, UnreadableTimesDecodeAsNow) {
  for (const db::Value& v :
       {db::Value(db::Null{}), db::Value(""), db::Value("2026-01-15 14:03:07.250+0000"),
        db::Value("2026-01-15T14:03:07+0000")}) {
    db::Row row = fullRow();
    row[8] = v;
    auto before = platform::now();
    auto m = memoryFromRow(row);
    ASSERT_TRUE(m);
    EXPECT_GE(m->createdAt, before);
    EXPECT_LE(m->createdAt, platform::now());
  }
}

TEST(MemoryFromRow, RowWithoutTextIdTierOrBodyIsDropped) {
  for (int column : {0, 1, 2}) {
    SCOPED_TRACE(column);
    db::Row row = fullRow();
    row[column] = db::Null{};
    EXPECT_EQ(memoryFromRow(row), std::nullopt);
    row[column] = db::Value(int64_t{1});
    EXPECT_EQ(memoryFromRow(row), std::nullopt);
  }
}

TEST(QueryMemories, SkipsUndecodableRowsInOrder) {
  auto c = db::Connection::openInMemory();
  c.exec(
      "CREATE TABLE m (id TEXT, tier TEXT, body TEXT, n INTEGER);"
      "INSERT INTO m VALUES ('a','episodic','one',1), ('b','episodic',NULL,2),"
      " ('c','cold','three',3);");
  std::string sql =
      "SELECT id, tier, body, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
      " NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL,"
      " NULL FROM m WHERE n >= ? ORDER BY n";
  std::vector<db::Value> bind{db::Value(int64_t{1})};
  auto ms = queryMemories(sql, bind, c);
  ASSERT_EQ(ms.size(), 2u);
  EXPECT_EQ(ms[0].id, "a");
  EXPECT_EQ(ms[1].id, "c");
  EXPECT_EQ(ms[1].tier, MemoryTier::Cold);
  EXPECT_THROW(queryMemories("SELECT nope FROM m", {}, c), db::Error);
}

TEST(MemoryColumns, AliasPrefixesEveryColumn) {
  std::string cols = memoryColumns("m");
  EXPECT_EQ(cols.rfind("m.id, m.tier, m.body, ", 0), 0u);
  EXPECT_NE(cols.find("m.is_top_level"), std::string::npos);
  EXPECT_EQ(std::count(cols.begin(), cols.end(), ','), 23);
}

}  // namespace
}  // namespace nodrel::store
