#include "store/recall.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "db/error.h"
#include "store/graph_traversal.h"
#include "store/query_router.h"
#include "store/vector_store.h"
#include "store/write_path.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

using namespace std::chrono_literals;

const platform::Instant kNow =
    platform::sharedTimestampFormatter().parse("2026-06-01T12:00:00.000+0000").value();

// Rows put in by hand, for what the write path cannot make: other tiers, deleted rows, links
// of a chosen shape, fixed access times.
struct Row {
  std::string id;
  std::string body;
  std::string tier = "episodic";
  std::optional<std::string> project = "/p";
  bool deleted = false;
  std::int64_t accessCount = 1;
  std::int64_t importance = 5;
  bool pinned = false;
  std::string lastAccessed = platform::currentTimestampText();
};

void insert(db::Connection& db, const Row& r) {
  db.run(
      "INSERT INTO memories (id, tier, body, body_tokens, project, type, created_at, "
      "last_accessed, access_count, strength, importance, pinned, deleted_at) "
      "VALUES (?, ?, ?, 1, ?, 'fact', '2026-01-01T00:00:00.000+0000', ?, ?, 1.0, ?, ?, ?)",
      {db::Value(r.id), db::Value(r.tier), db::Value(r.body), db::optionalText(r.project),
       db::Value(r.lastAccessed), db::Value(r.accessCount), db::Value(r.importance),
       db::Value(std::int64_t{r.pinned ? 1 : 0}),
       r.deleted ? db::Value("2026-02-01T00:00:00.000+0000") : db::Value(db::Null{})});
  db.run("INSERT INTO memories_fts (rowid, body, tags) VALUES (?, ?, '')",
         {db::Value(db.lastInsertRowid()), db::Value(r.body)});
}

void link(db::Connection& db, const std::string& src, const std::string& dst, double weight = 1.0,
          const std::string& type = "semantic") {
  db.run(
      "INSERT INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
      "VALUES (?, ?, ?, ?, '2026-01-01T00:00:00.000+0000')",
      {db::Value(src), db::Value(dst), db::Value(type), db::Value(weight)});
}

// Links the memory to four code files: identifiers that name no memory, so that with the memory
// itself the signals find five and no recent memories are added.
void padSignals(db::Connection& db, const std::string& id) {
  for (int i = 0; i < 4; ++i) link(db, id, "code:file" + std::to_string(i), 1.0, "related");
}

std::vector<std::string> ids(const std::vector<ScoredMemory>& recalled) {
  std::vector<std::string> out;
  for (const auto& r : recalled) out.push_back(r.memory.id);
  return out;
}

TEST(SanitizeFTSQuery, AnySignificantWordMatches) {
  struct Case {
    std::string query;
    std::string want;
  };
  const Case cases[] = {
      {"how do I fix foo-bar?", R"("how" OR "fix" OR "foo" OR "bar")"},
      {"", R"("*")"},
      {"?!. -- ()", R"("*")"},
      {"a an the of to", R"("*")"},
      {"pre* NEAR(x y) col:val ^start +plus",
       R"("pre" OR "NEAR" OR "col" OR "val" OR "start" OR "plus")"},
      {"snake_case x2 \"quoted\"", R"("snake_case" OR "quoted")"},
      {"caf\u00e9 na\u0303o \u65e5\u672c\u8a9e 42\u00b2",
       "\"caf\u00e9\" OR \"na\u0303o\" OR \"\u65e5\u672c\u8a9e\" OR \"42\u00b2\""},
      {std::string("nul\0byte", 8), R"("nul" OR "byte")"},
      {"bad\xff utf8", R"("bad" OR "utf8")"},
      {"/home/dana/work/payments", R"("home" OR "dana" OR "work" OR "payments")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_EQ(sanitizeFTSQuery(c.query), c.want);
  }
}

TEST(SanitizeFTSQuery, NoInputMakesAFullTextSyntaxError) {
  auto db = db::Connection::openInMemory();
  db.exec("CREATE VIRTUAL TABLE t USING fts5(body, tags); INSERT INTO t VALUES ('foo bar', '');");
  const char* hostile[] = {"\"",       "\"\"\"",
                           "*",        "foo*",
                           "AND",      "OR OR",
                           "NOT",      "NEAR(",
                           ")",        "(",
                           "body:",    "{body tags}: x",
                           "^",        "-x",
                           "+",        "'",
                           "a'b",      "\\",
                           "\u0301",   "\U0001F600",
                           "foo\"bar", "NEAR(foo bar, 2)",
                           ""};
  for (const char* q : hostile) {
    SCOPED_TRACE(q);
    EXPECT_NO_THROW(
        db.query("SELECT rowid FROM t WHERE t MATCH ?", {db::Value(sanitizeFTSQuery(q))}));
  }
  EXPECT_EQ(
      db.query("SELECT rowid FROM t WHERE t MATCH ?", {db::Value(sanitizeFTSQuery("Foo-BAR!"))})
          .size(),
      1u);
  EXPECT_EQ(db.query("SELECT rowid FROM t WHERE t MATCH ?",
                     {db::Value(sanitizeFTSQuery("where is the foo kept?"))})
                .size(),
            1u);
  EXPECT_TRUE(
      db.query("SELECT rowid FROM t WHERE t MATCH ?", {db::Value(sanitizeFTSQuery("?"))}).empty());
}

TEST(ReciprocalRankFusion, AddsOneOverKPlusPosition) {
  const std::vector<std::vector<std::string>> lists = {
      {"a", "b", "c"}, {"a", "d"}, {"a", "b", "b"}};
  const auto fused = reciprocalRankFusion(lists, 60.0);
  ASSERT_EQ(fused.size(), 4u);
  EXPECT_EQ(fused[0].id, "a");
  EXPECT_DOUBLE_EQ(fused[0].score, 3.0 / 61.0);
  EXPECT_EQ(fused[1].id, "b");
  EXPECT_DOUBLE_EQ(fused[1].score,
                   1.0 / 62 + 1.0 / 62 + 1.0 / 63);  // twice in one list counts twice
  // c (1/63) and d (1/62)
  EXPECT_EQ(fused[2].id, "d");
  EXPECT_EQ(fused[3].id, "c");
  EXPECT_TRUE(reciprocalRankFusion({}, 60.0).empty());
}

TEST(ReciprocalRankFusion, EqualScoresKeepTheirFirstAppearance) {
  const std::vector<std::vector<std::string>> lists = {{"x", "y"}, {"y", "x"}, {"p"}, {"q"}};
  const auto fused = reciprocalRankFusion(lists, 60.0);
  ASSERT_EQ(fused.size(), 4u);
  EXPECT_EQ(fused[0].id, "x");
  EXPECT_EQ(fused[1].id, "y");
  EXPECT_EQ(fused[2].id, "p");
  EXPECT_EQ(fused[3].id, "q");
}

TEST(RecallScore, PriorDecaysByTier) {
  const RecallWeights weights{0.2, 0.5, 0.3};
  struct Case {
    const char* name;
    MemoryTier tier;
    std::chrono::hours age;
    std::int64_t uses;
    bool pinned;
    double want;
  };
  const double day = 24;
  const Case cases[] = {
      {"fresh, unused", MemoryTier::Episodic, 0h, 0, false, 0.175},
      {"fresh, pinned", MemoryTier::Cold, 0h, 0, true, 0.425},
      {"future access counts as now", MemoryTier::Semantic, -48h, 0, false, 0.175},
      {"episodic at 14 days", MemoryTier::Episodic, std::chrono::hours(int(14 * day)), 0, false,
       0.15 * std::exp(-1.0) + 0.025},
      {"procedural at 14 days", MemoryTier::Procedural, std::chrono::hours(int(14 * day)), 0, false,
       0.15 * std::exp(-14.0 / 365.0) + 0.025},
      {"semantic at 180 days", MemoryTier::Semantic, std::chrono::hours(int(180 * day)), 0, false,
       0.15 * std::exp(-1.0) + 0.025},
      {"cold at 1 day", MemoryTier::Cold, 24h, 0, false, 0.15 * std::exp(-1.0) + 0.025},
      {"used 9 times", MemoryTier::Episodic, 0h, 9, false, 0.175 + 0.1 * std::log(10.0)},
      {"negative uses count as none", MemoryTier::Episodic, 0h, -7, false, 0.175},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Memory m;
    m.tier = c.tier;
    m.lastAccessed = kNow - c.age;
    m.accessCount = c.uses;
    m.importance = 5;
    m.pinned = c.pinned;
    EXPECT_NEAR(recallScore(m, {}, weights, kNow), c.want, 1e-12);
  }
  Memory m;
  m.lastAccessed = kNow;
  m.accessCount = 0;
  EXPECT_NEAR(recallScore(m, {1.0, 0.5, 0.25}, weights, kNow),
              0.175 + 0.2 * 1.0 + 0.5 * 0.5 + 0.3 * 0.25, 1e-12);
}

TEST(RecordInjectionSignal, WritesOneInjectedRow) {
  testing::TestDatabase database;
  auto& db = database.db();
  recordInjectionSignal("m1", std::nullopt, db);
  recordInjectionSignal("m2", "se\"ss\n", db);
  const auto rows = db.query(
      "SELECT memory_id, signal_type, timestamp, payload_json FROM ml_signals ORDER BY rowid");
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], db::Value("m1"));
  EXPECT_EQ(rows[0][1], db::Value("injected"));
  EXPECT_TRUE(platform::sharedTimestampFormatter().parse(*db::textOf(rows[0][2])).has_value());
  EXPECT_EQ(rows[0][3], db::Value("{}"));
  EXPECT_EQ(rows[1][3], db::Value(R"({"session_id":"se\"ss\n"})"));
  EXPECT_EQ(nlohmann::json::parse(*db::textOf(rows[1][3])),
            (nlohmann::json{{"session_id", "se\"ss\n"}}));
  auto bare = db::Connection::openInMemory();
  EXPECT_THROW(recordInjectionSignal("m1", std::nullopt, bare), db::Error);
}

class RecallTest : public ::testing::Test {
 protected:
  db::Connection& db() { return database_.db(); }
  std::vector<ScoredMemory> recall(std::string_view query, std::int64_t limit = 15,
                                   std::optional<std::string> project = "/p") {
    return recallMemories(query, project, limit, db(), nullptr);
  }
  testing::TestDatabase database_;
};

TEST_F(RecallTest, FullTextScoresAreNormalisedBestToWorst) {
  insert(db(), {.id = "one", .body = "zebra zebra zebra stripes"});
  insert(db(), {.id = "two", .body = "zebra with a long tail of other words and more words"});
  const auto route = QueryRouter::route("zebra");
  const auto recalled = recall("zebra");
  ASSERT_EQ(ids(recalled), (std::vector<std::string>{"one", "two"}));
  const double prior = recallScore(recalled[1].memory, {}, {}, platform::now());
  EXPECT_NEAR(recalled[0].score - prior, route.bm25Weight * 1.0, 1e-6);
  EXPECT_NEAR(recalled[1].score, prior, 1e-6);  // the worst hit gets 0

  // Hits that all rank alike, a lone one among them, are each the best match.
  testing::TestDatabase lone;
  insert(lone.db(), {.id = "only", .body = "zebra"});
  const auto single = recallMemories("zebra", std::string("/p"), 15, lone.db(), nullptr);
  ASSERT_EQ(single.size(), 1u);
  EXPECT_NEAR(single[0].score,
              recallScore(single[0].memory, {}, {}, platform::now()) + route.bm25Weight, 1e-6);
  insert(lone.db(), {.id = "twin", .body = "zebra"});
  for (const auto& hit : recallMemories("zebra", std::string("/p"), 15, lone.db(), nullptr)) {
    EXPECT_NEAR(hit.score, recallScore(hit.memory, {}, {}, platform::now()) + route.bm25Weight,
                1e-6);
  }
}

TEST_F(RecallTest, ProjectsTiersAndDeletionBoundFullText) {
  insert(db(), {.id = "mine", .body = "how to deploy the service"});
  insert(db(), {.id = "other", .body = "how to deploy the service", .project = "/q"});
  insert(db(), {.id = "cold", .body = "how to deploy the service", .tier = "cold"});
  insert(db(), {.id = "gone", .body = "how to deploy the service", .deleted = true});
  insert(db(),
         {.id = "proc", .body = "how to deploy the service, step by step", .tier = "procedural"});
  padSignals(db(), "proc");
  EXPECT_EQ(ids(recall("deploy service")), (std::vector<std::string>{"mine", "proc"}));
  auto everywhere = ids(recall("deploy service", 15, std::nullopt));
  std::sort(everywhere.begin(), everywhere.end());
  EXPECT_EQ(everywhere, (std::vector<std::string>{"mine", "other", "proc"}));
  // The procedural route confines full text to procedural memories.
  ASSERT_EQ(QueryRouter::route("how to deploy service").tiers,
            (std::vector<std::string>{"procedural"}));
  EXPECT_EQ(ids(recall("how to deploy service")), (std::vector<std::string>{"proc"}));
}

TEST_F(RecallTest, GraphReachesWhatFullTextMissesButNeverDeletedMemories) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  insert(db(), {.id = "neighbour", .body = "an unrelated text"});
  insert(db(), {.id = "archived", .body = "old unrelated text", .tier = "cold"});
  insert(db(), {.id = "deleted", .body = "removed unrelated text", .deleted = true});
  link(db(), "seed", "neighbour", 0.8);
  link(db(), "archived", "seed", 0.6);  // followed backwards
  link(db(), "seed", "deleted", 1.0);
  link(db(), "seed", "code:abc", 1.0);  // a code file: no memory row
  const auto recalled = recall("kubernetes");
  // seed, a lone hit: prior + 0.2 x 1.0; neighbour: prior + 0.3 x 0.4; archived: prior + 0.3 x 0.3.
  EXPECT_EQ(ids(recalled), (std::vector<std::string>{"seed", "neighbour", "archived"}));
  const auto route = QueryRouter::route("kubernetes");
  const Memory& n = recalled[1].memory;
  EXPECT_NEAR(
      recalled[1].score,
      recallScore(n, {0.0, 0.0, 0.4}, {route.bm25Weight, route.vectorWeight, route.graphWeight},
                  platform::now()),
      1e-6);
}

TEST_F(RecallTest, EqualScoresKeepTheFusedOrder) {
  const std::string when = "2026-01-01T00:00:00.000+0000";
  insert(db(), {.id = "seed", .body = "kubernetes rollout", .accessCount = 100});
  for (const char* id : {"n5", "n3", "n1", "n4", "n2"}) {
    insert(db(), {.id = id, .body = "plain note", .lastAccessed = when});
    link(db(), "seed", id, 1.0);
  }
  const auto recalled = recall("kubernetes");
  EXPECT_EQ(ids(recalled), (std::vector<std::string>{"seed", "n1", "n2", "n3", "n4", "n5"}));
  for (std::size_t i = 2; i < recalled.size(); ++i) {
    EXPECT_EQ(recalled[i].score, recalled[1].score);
  }
  EXPECT_EQ(ids(recall("kubernetes", 3)), (std::vector<std::string>{"seed", "n1", "n2"}));
}

TEST_F(RecallTest, LimitsAreSaturatedAndNeverNegative) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  for (int i = 0; i < 30; ++i) {
    const std::string id = "n" + std::to_string(100 + i);
    insert(db(), {.id = id, .body = "plain note"});
    link(db(), "seed", id, 1.0);
  }
  EXPECT_TRUE(recall("kubernetes", 0).empty());
  EXPECT_TRUE(recall("kubernetes", -3).empty());
  EXPECT_EQ(recall("kubernetes", std::numeric_limits<std::int64_t>::max()).size(), 31u);
  EXPECT_EQ(recall("kubernetes", std::numeric_limits<std::int64_t>::max() / 3 + 1).size(), 31u);
  EXPECT_EQ(recall("kubernetes", 2).size(), 2u);
}

TEST_F(RecallTest, OnlyTheFirstLimitTimesThreeFusedEntriesAreRead) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  for (int i = 0; i < 20; ++i) {
    const std::string id = "n" + std::to_string(100 + i);
    // n109 would win on its pin, but it is 11th in the fused list (after seed and n100..n108).
    insert(db(), {.id = id,
                  .body = "plain note",
                  .pinned = i == 9,
                  .lastAccessed = "2026-01-01T00:00:00.000+0000"});
    link(db(), "seed", id, 1.0);
  }
  EXPECT_EQ(ids(recall("kubernetes", 3)), (std::vector<std::string>{"seed", "n100", "n101"}));
  EXPECT_EQ(ids(recall("kubernetes", 4)).front(), "n109");
}

TEST_F(RecallTest, ChangesNothingItReads) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  insert(db(), {.id = "neighbour", .body = "plain note"});
  link(db(), "seed", "neighbour");
  const std::string dump =
      "SELECT id, access_count, last_accessed, strength, tier FROM memories ORDER BY id";
  const auto before = db().query(dump);
  const auto first = recall("kubernetes");
  const auto second = recall("kubernetes");
  EXPECT_EQ(db().query(dump), before);
  EXPECT_EQ(ids(first), ids(second));
  EXPECT_EQ(db().scalar("SELECT COUNT(*) FROM ml_signals"), db::Value(std::int64_t{0}));

  // It also works on a connection that refuses writes.
  db().exec("PRAGMA query_only = ON;");
  EXPECT_EQ(ids(recall("kubernetes")), ids(first));
}

TEST_F(RecallTest, AFailingFullTextQueryIsLoggedAndTheRestGoesOn) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  insert(db(), {.id = "neighbour", .body = "plain note"});
  link(db(), "seed", "neighbour");
  db().exec("DROP TABLE memories_fts");
  ::testing::internal::CaptureStderr();
  std::vector<ScoredMemory> recalled;
  EXPECT_NO_THROW(recalled = recall("kubernetes"));
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("[nodrel] recall FTS error: ", 0), 0u) << err;
  EXPECT_EQ(err.find('\n'), err.size() - 1);
}

TEST_F(RecallTest, AQuestionFindsTheMemoryThatHoldsItsRareWords) {
  // Used more recently, the others would win on their prior alone.
  const char* const others[] = {"Lunch on Fridays is at the Thai place.",
                                "The staging database is refreshed every night.",
                                "Use the shared formatter for every timestamp.",
                                "The coffee machine on the third floor is broken."};
  int n = 0;
  for (const char* body : others) {
    insert(db(), {.id = "other" + std::to_string(n++), .body = body});
  }
  insert(db(),
         {.id = "answer",
          .body = "Mariana reviewed the webhook signature check and asked for a replay test.",
          .lastAccessed = platform::sharedTimestampFormatter().format(platform::now() - 24h)});
  const auto recalled = recall("Who reviewed the webhook signature change last week?");
  ASSERT_FALSE(recalled.empty());
  EXPECT_EQ(recalled[0].memory.id, "answer");
  const auto route = QueryRouter::route("Who reviewed the webhook signature change last week?");
  EXPECT_NEAR(recalled[0].score,
              recallScore(recalled[0].memory, {}, {}, platform::now()) + route.bm25Weight, 1e-6);
}

TEST_F(RecallTest, ALoneFullTextHitOutranksAWeakerVectorOnlyMatch) {
  const std::string query = "rotate the signing keys";
  const auto q = embed(query);
  const auto other = embed("lunch menu with olives and pizza");
  ASSERT_TRUE(q && other);
  // A vector of similarity 0.3 to the query's: the query's, tilted towards an orthogonal one.
  std::vector<float> r = *other;
  float dot = 0.0f, norm = 0.0f;
  for (std::size_t i = 0; i < r.size(); ++i) dot += r[i] * (*q)[i];
  for (std::size_t i = 0; i < r.size(); ++i) r[i] -= dot * (*q)[i];
  for (float x : r) norm += x * x;
  std::vector<float> weak(r.size());
  for (std::size_t i = 0; i < r.size(); ++i) {
    weak[i] = 0.3f * (*q)[i] + std::sqrt(1.0f - 0.09f) * r[i] / std::sqrt(norm);
  }
  insert(db(), {.id = "exact", .body = "Keys for signing are rotated quarterly by ops."});
  insert(db(), {.id = "near", .body = "Lunch order for Friday."});
  storeEmbedding("near", weak, db());

  const auto recalled = recall(query);
  ASSERT_EQ(ids(recalled).size(), 2u);
  EXPECT_EQ(ids(recalled), (std::vector<std::string>{"exact", "near"}));
}

TEST(Recall, TheFallbackErrorIsThrown) {
  auto db = db::Connection::openInMemory();  // no tables: nothing found, and no recent list
  ::testing::internal::CaptureStderr();
  EXPECT_THROW(recallMemories("anything", std::nullopt, 15, db, nullptr), db::Error);
  ::testing::internal::GetCapturedStderr();
}

TEST_F(RecallTest, SparseResultsAreFilledWithRecentMemoriesUpToFourIdentifiers) {
  insert(db(), {.id = "seed", .body = "kubernetes rollout"});
  insert(db(), {.id = "recent", .body = "plain note"});
  insert(db(), {.id = "elsewhere", .body = "plain note", .project = "/q"});
  insert(db(), {.id = "archived", .body = "plain note", .tier = "cold"});
  for (int i = 0; i < 3; ++i) link(db(), "seed", "code:f" + std::to_string(i));
  // seed and three code files: four identifiers, so the recent memories of the project join.
  auto four = ids(recall("kubernetes"));
  std::sort(four.begin(), four.end());
  EXPECT_EQ(four, (std::vector<std::string>{"recent", "seed"}));
  // A fifth identifier, even one that names no memory, ends the fallback.
  link(db(), "seed", "code:f3");
  EXPECT_EQ(ids(recall("kubernetes")), (std::vector<std::string>{"seed"}));
}

TEST_F(RecallTest, WithNothingFoundTheMostRecentlyUsedComeByTheirPrior) {
  for (int i = 0; i < 25; ++i) {
    char when[40];
    std::snprintf(when, sizeof when, "2026-01-%02dT00:00:00.000+0000", i + 1);
    insert(db(), {.id = "m" + std::to_string(i), .body = "plain note", .lastAccessed = when});
  }
  std::vector<std::string> want;
  for (int i = 24; i > 24 - 15; --i) want.push_back("m" + std::to_string(i));
  EXPECT_EQ(ids(recall("zebra", 15)), want);
  EXPECT_EQ(recall("zebra", 50).size(), 20u);
}

// A store written the way every writer writes: full-text, vector and graph signals each find a
// memory the other two miss, and a deleted memory stays gone whichever signal finds it.
class RealStoreRecall : public ::testing::Test {
 protected:
  Memory write(const std::string& body, std::optional<std::string> tags = std::nullopt) {
    return writeMemory(
        db(), writes_,
        MemoryWrite{.body = body, .project = "/p", .tags = std::move(tags), .importance = 5});
  }
  db::Connection& db() { return database_.db(); }
  testing::TestDatabase database_;
  WriteState writes_;
};

TEST_F(RealStoreRecall, EachSignalFindsWhatTheOthersMiss) {
  const std::string query = "deploy billing";
  const Memory fullText = write("deploy billing checklist: run the migrations first");
  const Memory vector = write("Deploying bills through staging needs the token");
  const Memory graph = write("Lunch order for Friday is pizza with olives");
  // Its words are only in its tags, which the full-text table holds and the vector does not.
  const Memory tagged = write("Descale the coffee machine on Tuesdays", "deploy,billing");
  const Memory deleted = write("Deploying billing again, forgotten on purpose");
  db().run("UPDATE memories SET deleted_at = '2026-02-01T00:00:00.000+0000' WHERE id = ?",
           {db::Value(deleted.id)});

  std::set<std::string> fts;
  for (const auto& row : db().query("SELECT m.id FROM memories_fts JOIN memories m ON "
                                    "m.rowid = memories_fts.rowid WHERE memories_fts MATCH ?",
                                    {db::Value(sanitizeFTSQuery(query))})) {
    fts.insert(*db::textOf(row[0]));
  }
  std::set<std::string> similar;
  if (auto v = embed(query)) {
    for (const auto& hit : searchSimilar(*v, 50, true, db())) similar.insert(hit.memoryID);
  }
  // Full text finds the deleted memory too; recall must still leave it out.
  EXPECT_EQ(fts, (std::set<std::string>{fullText.id, tagged.id, deleted.id}));
  ASSERT_TRUE(similar.contains(vector.id)) << "the stems of deploying and bills";
  EXPECT_FALSE(similar.contains(graph.id));
  EXPECT_FALSE(similar.contains(tagged.id));
  const std::vector<std::string> seeds{fullText.id};
  bool linked = false;
  for (const auto& hit : GraphTraversal(db()).traverse(seeds, 2, {}, 50)) {
    linked = linked || hit.id == graph.id;
  }
  EXPECT_TRUE(linked) << "written within the hour, so temporally linked";

  // Code files linked as ingestion links them make the signals name more than four
  // identifiers, so no recent memory is added: what recall returns, a signal brought in.
  padSignals(db(), fullText.id);

  const std::string dump =
      "SELECT id, access_count, last_accessed, strength, tier FROM memories ORDER BY id";
  const auto before = db().query(dump);
  const auto recalled = recallMemories(query, std::string("/p"), 15, db(), nullptr);
  EXPECT_EQ(db().query(dump), before);
  EXPECT_FALSE(std::ranges::any_of(
      recalled, [&](const ScoredMemory& r) { return r.memory.id == deleted.id; }));
  auto find = [&](const Memory& m) {
    return std::ranges::find_if(recalled,
                                [&](const ScoredMemory& r) { return r.memory.id == m.id; });
  };
  // The worse of two full-text hits adds nothing to its score, but it is still a candidate.
  EXPECT_NE(find(tagged), recalled.end());
  // The others also score above their prior, which only a signal can add.
  for (const Memory* m : {&fullText, &vector, &graph}) {
    SCOPED_TRACE(m->body);
    auto it = find(*m);
    ASSERT_NE(it, recalled.end());
    EXPECT_GT(it->score, recallScore(it->memory, {}, {}, platform::now()) + 1e-6);
  }
}

// Two projects written within the hour share words, names and temporal links; a third memory
// belongs to no project. Recall for one project must show none of the other's memories, by
// whichever signal they would come.
TEST_F(RealStoreRecall, AProjectSeesItsOwnAndGlobalMemoriesOnly) {
  auto writeIn = [&](const std::string& body, std::optional<std::string> project) {
    return writeMemory(db(), writes_, MemoryWrite{.body = body, .project = std::move(project)});
  };
  const std::string a = "/work/payments", b = "/work/billing";
  const char* const notes[] = {
      "Decided with Priya Raman to retry the invoice webhook three times with backoff.",
      "The invoice export job fails when the currency table is empty.",
      "Priya Raman owns the release checklist for the invoice service.",
      "Run the database migration before deploying the invoice service.",
      "The webhook signature check rejects requests older than five minutes.",
      "Use the shared money formatter for every invoice total."};
  std::set<std::string> mine, theirs;
  for (const char* note : notes) {
    mine.insert(writeIn(std::string(note) + " (payments)", a).id);
    theirs.insert(writeIn(std::string("In billing: ") + note, b).id);
  }
  const Memory global = writeIn("Always retry a webhook with backoff and a jitter.", std::nullopt);

  const char* const queries[] = {"invoice webhook retries", "Who owns the release checklist?",
                                 "Priya Raman", "webhook backoff jitter", "/work/payments"};
  bool sawGlobal = false, unscopedSawTheirs = false;
  for (const char* query : queries) {
    SCOPED_TRACE(query);
    const auto recalled = recallMemories(query, a, 15, db(), nullptr);
    EXPECT_FALSE(recalled.empty());
    for (const auto& r : recalled) {
      EXPECT_FALSE(theirs.contains(r.memory.id)) << r.memory.body;
      EXPECT_TRUE(mine.contains(r.memory.id) || r.memory.id == global.id) << r.memory.body;
      sawGlobal = sawGlobal || r.memory.id == global.id;
    }
    for (const auto& r : recallMemories(query, std::nullopt, 15, db(), nullptr)) {
      unscopedSawTheirs = unscopedSawTheirs || theirs.contains(r.memory.id);
    }
  }
  EXPECT_TRUE(sawGlobal);
  EXPECT_TRUE(unscopedSawTheirs) << "the store must tempt recall with the other project";

  // Each signal is scoped where it is computed, so its best hits are the project's best.
  const auto v = embed("invoice webhook retries");
  ASSERT_TRUE(v);
  const auto similar = searchSimilar(*v, 50, true, db(), a);
  EXPECT_FALSE(similar.empty());
  for (const auto& hit : similar) EXPECT_FALSE(theirs.contains(hit.memoryID));
  EXPECT_TRUE(std::ranges::any_of(searchSimilar(*v, 50, true, db()), [&](const SimilarityHit& h) {
    return theirs.contains(h.memoryID);
  }));
  const std::vector<std::string> seeds(mine.begin(), mine.end());
  const auto walked = GraphTraversal(db()).traverse(seeds, 2, {}, 50, a);
  EXPECT_TRUE(std::ranges::any_of(walked, [&](const GraphHit& h) { return h.id == global.id; }));
  for (const auto& hit : walked) EXPECT_FALSE(theirs.contains(hit.id));
  EXPECT_TRUE(std::ranges::any_of(GraphTraversal(db()).traverse(seeds, 2, {}, 50),
                                  [&](const GraphHit& h) { return theirs.contains(h.id); }));
}

// The indexes the traversal walks only make recall faster: on a written store, with links of
// every kind, it returns the same memories in the same order with the same scores without them.
TEST_F(RealStoreRecall, WalkIndexesLeaveRecallUnchanged) {
  const char* const subjects[] = {"the login session", "the cache refresh", "the retry queue",
                                  "the deploy script"};
  const char* const causes[] = {"when the token is refreshed", "after the schema is bumped",
                                "if the pool is exhausted"};
  const char* const files[] = {"src/auth/session_store.ts", "scripts/deploy.sh"};
  for (int i = 0; i < 48; ++i) {
    write(std::string("Observed that ") + subjects[i % 4] + " fails " + causes[i % 3] +
          ". The change touched " + files[i % 2] + " for Alice Martin (note " + std::to_string(i) +
          ")");
  }
  ASSERT_GT(
      db::integerOf(*db().scalar("SELECT count(*) FROM memory_links WHERE link_type != 'temporal'"))
          .value_or(0),
      48);

  const char* const queries[] = {"the login session expires when the token is refreshed",
                                 "src/auth/session_store.ts"};
  std::vector<std::vector<ScoredMemory>> indexed;
  for (const char* query : queries)
    indexed.push_back(recallMemories(query, "/p", 15, db(), nullptr));
  db().exec("DROP INDEX idx_memory_links_dst_walk;");
  for (std::size_t q = 0; q < std::size(queries); ++q) {
    SCOPED_TRACE(queries[q]);
    const auto plain = recallMemories(queries[q], "/p", 15, db(), nullptr);
    ASSERT_EQ(ids(plain), ids(indexed[q]));
    ASSERT_EQ(plain.size(), 15u);
    for (std::size_t i = 0; i < plain.size(); ++i) {
      // Only the instant of ranking differs between the two calls.
      EXPECT_NEAR(plain[i].score, indexed[q][i].score, 1e-6);
    }
  }
}

}  // namespace
}  // namespace nodrel::store
