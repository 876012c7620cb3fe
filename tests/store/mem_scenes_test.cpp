#include "store/mem_scenes.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/savepoint.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

class MemScenesTest : public ::testing::Test {
 protected:
  void scene(const std::string& id, db::Value summary = db::Value("summary"),
             db::Value project = db::Value("/p"), db::Value tier = db::Value("episodic"),
             db::Value createdAt = db::Value("2026-01-15T14:03:07.250+0000")) {
    db().run("INSERT INTO mem_scenes (id, summary, project, tier, created_at) VALUES (?,?,?,?,?)",
             {db::Value(id), summary, project, tier, createdAt});
  }
  void member(const std::string& sceneID, const std::string& memoryID,
              db::Value role = db::Value("context")) {
    db().run("INSERT INTO mem_scene_members (scene_id, memory_id, role) VALUES (?,?,?)",
             {db::Value(sceneID), db::Value(memoryID), role});
  }
  std::vector<std::pair<std::string, std::int64_t>> overlaps(std::vector<std::string> ids,
                                                             std::int64_t minOverlap = 2) {
    std::vector<std::pair<std::string, std::int64_t>> out;
    for (const auto& o : findOverlappingScenes(ids, minOverlap, db())) {
      out.emplace_back(o.scene.id, o.overlap);
    }
    return out;
  }
  db::Connection& db() { return database_.db(); }

  testing::TestDatabase database_;
};

TEST_F(MemScenesTest, ScenesSharingEnoughMemoriesMostOverlappingFirst) {
  EXPECT_TRUE(overlaps({"m1", "m2"}).empty());  // empty tables
  scene("one");
  member("one", "m1");
  member("one", "x");
  scene("two");
  member("two", "m1");
  member("two", "m2");
  scene("three");
  for (const char* m : {"m1", "m2", "m3"}) member("three", m);
  using Overlaps = std::vector<std::pair<std::string, std::int64_t>>;
  EXPECT_EQ(overlaps({"m1", "m2", "m3"}), (Overlaps{{"three", 3}, {"two", 2}}));
  EXPECT_EQ(overlaps({"m1", "m2"}).size(), 2u);
  EXPECT_EQ(overlaps({"m1", "m1", "m2"}), overlaps({"m1", "m2"}));
  EXPECT_EQ(overlaps({"m1", "m2", "m3"}, 4), Overlaps{});
  EXPECT_TRUE(overlaps({}).empty());
}

TEST_F(MemScenesTest, AScenesOwnRepeatsCountButRepeatedInputDoesNot) {
  scene("s");
  member("s", "m1");
  member("s", "m1");
  EXPECT_EQ(overlaps({"m1"}), (std::vector<std::pair<std::string, std::int64_t>>{{"s", 2}}));
  EXPECT_EQ(overlaps({"m1", "m1"}), overlaps({"m1"}));
}

TEST_F(MemScenesTest, UnreadableScenesArePassedOver) {
  member("orphan", "m1");  // no mem_scenes row
  member("orphan", "m2");
  scene("no-summary", db::Null{});
  scene("no-tier", db::Value("s"), db::Value("/p"), db::Null{});
  for (const char* s : {"no-summary", "no-tier"}) {
    member(s, "m1");
    member(s, "m2");
  }
  EXPECT_TRUE(overlaps({"m1", "m2"}).empty());
}

TEST_F(MemScenesTest, LoadsFieldsAndMembersInInsertionOrder) {
  scene("s", db::Value("the summary"), db::Null{}, db::Value("whatever"),
        db::Value("2026-01-15 14:03:07"));
  member("s", "m2", db::Value("effect"));
  member("s", "m1", db::Value("cause"));
  member("s", "m3", db::Null{});  // not text: passed over
  const auto before = platform::now();
  auto found = findOverlappingScenes(std::vector<std::string>{"m1", "m2"}, 2, db());
  ASSERT_EQ(found.size(), 1u);
  const MemScene& s = found[0].scene;
  EXPECT_EQ(s.summary, "the summary");
  EXPECT_EQ(s.project, std::nullopt);
  EXPECT_EQ(s.tier, "whatever");
  EXPECT_GE(s.createdAt, before);  // not the shared form: the time of reading
  EXPECT_EQ(s.members, (std::vector<MemSceneMember>{{"m2", "effect"}, {"m1", "cause"}}));

  scene("t");
  const auto rows = db().query(
      "SELECT id, summary, project, tier, created_at FROM mem_scenes "
      "WHERE id = 't'");
  auto t = loadMemScene(rows.at(0), db());
  ASSERT_TRUE(t.has_value());
  EXPECT_EQ(t->project, "/p");
  EXPECT_EQ(t->createdAt,
            platform::sharedTimestampFormatter().parse("2026-01-15T14:03:07.250+0000"));
}

TEST_F(MemScenesTest, ManyIdentifiersAreCountedAcrossBatches) {
  db::Savepoint batch(db());
  std::vector<std::string> ids;
  for (int i = 0; i < 3000; ++i) ids.push_back("m" + std::to_string(i));
  scene("wide");
  for (int i = 0; i < 3000; i += 10) member("wide", ids[i]);  // 300, spread over all batches
  scene("narrow");
  member("narrow", ids[5]);
  member("narrow", ids[2999]);
  member("narrow", ids[2999]);
  batch.commit();
  ids.push_back(ids[5]);  // a repeat in a later batch still counts once
  using Overlaps = std::vector<std::pair<std::string, std::int64_t>>;
  EXPECT_EQ(overlaps(ids, 2), (Overlaps{{"wide", 300}, {"narrow", 3}}));
  EXPECT_EQ(overlaps(ids, 301), Overlaps{});
}

TEST(MemScenes, MissingTablesReachTheCaller) {
  auto db = db::Connection::openInMemory();
  const std::vector<std::string> ids{"m1"};
  EXPECT_THROW(findOverlappingScenes(ids, 2, db), db::Error);
  EXPECT_THROW(loadSceneMembers("s", db), db::Error);
  db.exec(
      "CREATE TABLE mem_scene_members (scene_id TEXT, memory_id TEXT, role TEXT);"
      "INSERT INTO mem_scene_members VALUES ('s', 'm1', 'r'), ('s', 'm2', 'r');");
  const std::vector<std::string> both{"m1", "m2"};
  EXPECT_THROW(findOverlappingScenes(both, 2, db), db::Error);  // mem_scenes is missing
}

}  // namespace
}  // namespace nodrel::store
