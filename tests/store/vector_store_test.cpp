#include "store/vector_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "db/error.h"
#include "db/savepoint.h"
#include "platform/time.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

using Ids = std::vector<std::string>;

void addMemory(db::Connection& db, const std::string& id, const std::string& tier = "episodic",
               bool deleted = false) {
  db.run("INSERT INTO memories (id, tier, body, created_at, deleted_at) VALUES (?, ?, ?, ?, ?)",
         {db::text(id), db::text(tier), db::text("body of " + id),
          db::text(platform::currentTimestampText()),
          deleted ? db::text(platform::currentTimestampText()) : db::Value(db::Null{})});
}

void addRawVector(db::Connection& db, const db::Value& id, const db::Value& blob) {
  db.run(
      "INSERT INTO memory_vectors (memory_id, embedding, model, created_at) VALUES (?, ?, "
      "'NLEmbedding', '')",
      {id, blob});
}

Ids idsOf(const std::vector<SimilarityHit>& hits) {
  Ids out;
  for (const auto& h : hits) out.push_back(h.memoryID);
  return out;
}

TEST(VectorStore, StoredVectorReadsBackEqualAndASecondStoreReplacesIt) {
  testing::TestDatabase t;
  addMemory(t.db(), "m1");
  const std::vector<float> first = {1.5f, -0.0f, 3.25e-7f, -2.0f};
  const std::vector<float> second = {0.25f, 0.5f};
  VectorStore store(t.db());
  store.storeEmbedding("m1", first);
  EXPECT_EQ(store.fetchVectorCandidates(false),
            (std::vector<VectorStore::VectorCandidate>{{"m1", first}}));
  store.storeEmbedding("m1", second);
  EXPECT_EQ(store.fetchVectorCandidates(true),
            (std::vector<VectorStore::VectorCandidate>{{"m1", second}}));

  const auto rows = t.db().query("SELECT embedding, model, created_at FROM memory_vectors");
  ASSERT_EQ(rows.size(), 1u);
  const db::Blob* blob = db::blobOf(rows[0][0]);
  ASSERT_NE(blob, nullptr);
  // little-endian binary32, no header: 0.25f is 0x3E800000
  EXPECT_EQ(blob->bytes, std::string("\x00\x00\x80\x3e\x00\x00\x00\x3f", 8));
  EXPECT_EQ(*db::textOf(rows[0][1]), "NLEmbedding");
  EXPECT_TRUE(platform::sharedTimestampFormatter().parse(*db::textOf(rows[0][2])).has_value());
}

TEST(VectorStore, MalformedRowsArePassedOver) {
  testing::TestDatabase t;
  const float one = 1.0f;
  std::string oneBytes(4, '\0');
  std::memcpy(oneBytes.data(), &one, 4);
  addRawVector(t.db(), db::text("seven"), db::Blob{oneBytes + "xyz"});  // 7 bytes: 1 component
  addRawVector(t.db(), db::text("three"), db::Blob{"abc"});
  addRawVector(t.db(), db::text("empty"), db::Blob{""});
  addRawVector(t.db(), db::text("null"), db::Value(db::Null{}));
  addRawVector(t.db(), db::text("text"), db::text("not a blob"));
  addRawVector(t.db(), db::Blob{"blob id"}, db::Blob{oneBytes});  // id is no text
  const auto candidates = VectorStore(t.db()).fetchVectorCandidates(false);
  EXPECT_EQ(candidates, (std::vector<VectorStore::VectorCandidate>{{"seven", {1.0f}}}));
  EXPECT_EQ(idsOf(searchSimilar(std::vector<float>{2.0f}, 10, false, t.db())), Ids{"seven"});
}

TEST(VectorStore, SimilarityCutAndDimension) {
  testing::TestDatabase t;
  for (const char* id : {"same", "scaled", "orthogonal", "opposite", "slight", "barely", "other",
                         "zero", "nothing"}) {
    addMemory(t.db(), id);
  }
  storeEmbedding("same", {1, 2, 3}, t.db());
  storeEmbedding("scaled", {2, 4, 6}, t.db());
  storeEmbedding("orthogonal", {3, 0, -1}, t.db());
  storeEmbedding("opposite", {-1, -2, -3}, t.db());
  storeEmbedding("slight", {1, 0, 0}, t.db());             // cosine 1/sqrt(14), about 0.267
  storeEmbedding("barely", {0.0f, 1.0f, -0.66f}, t.db());  // cosine about 0.0076: cut
  storeEmbedding("other", {1, 2, 3, 4}, t.db());           // another dimension never matches
  storeEmbedding("zero", {0, 0, 0}, t.db());
  storeEmbedding("nothing", {}, t.db());  // stored as an empty blob, never found

  const std::vector<float> query = {1, 2, 3};
  const auto hits = searchSimilar(query, 10, true, t.db());
  ASSERT_EQ(idsOf(hits), (Ids{"same", "scaled", "slight"}));
  EXPECT_NEAR(hits[0].similarity, 1.0, 1e-6);
  EXPECT_NEAR(hits[1].similarity, 1.0, 1e-6);
  EXPECT_NEAR(hits[2].similarity, 1.0 / std::sqrt(14.0), 1e-6);

  const auto blob =
      t.db().scalar("SELECT length(embedding) FROM memory_vectors WHERE memory_id = 'nothing'");
  EXPECT_EQ(db::integerOf(*blob), 0);
  EXPECT_TRUE(searchSimilar(std::vector<float>{}, 10, false, t.db()).empty());
  EXPECT_TRUE(searchSimilar(std::vector<float>{0, 0, 0}, 10, false, t.db()).empty());
}

TEST(VectorStore, LimitKeepsTheBestAndTiesKeepRowOrder) {
  testing::TestDatabase t;
  for (const char* id : {"a", "b", "c", "d"}) {
    addMemory(t.db(), id);
    storeEmbedding(id, {1, 1}, t.db());
  }
  const std::vector<float> query = {1, 1};
  EXPECT_EQ(idsOf(searchSimilar(query, 2, true, t.db())), (Ids{"a", "b"}));
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, t.db())), (Ids{"a", "b", "c", "d"}));
  EXPECT_TRUE(searchSimilar(query, 0, true, t.db()).empty());
  EXPECT_TRUE(searchSimilar(query, -3, true, t.db()).empty());
}

TEST(VectorStore, BoundedSearchMatchesAFullSort) {
  testing::TestDatabase t;
  std::mt19937 random(7);
  std::normal_distribution<float> component;
  std::vector<std::pair<double, std::string>> expected;
  const std::vector<float> query = [&] {
    std::vector<float> q(16);
    for (auto& x : q) x = component(random);
    return q;
  }();
  for (int i = 0; i < 300; ++i) {
    std::string id = "m";  // appended, which GCC 12's -Wrestrict does not misread
    id += std::to_string(i);
    addMemory(t.db(), id);
    std::vector<float> v(16);
    for (auto& x : v) x = component(random);
    storeEmbedding(id, v, t.db());
  }
  std::vector<SimilarityHit> all = searchSimilar(query, 1000, true, t.db());
  ASSERT_GT(all.size(), 20u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(), [](const auto& a, const auto& b) {
    return a.similarity > b.similarity;
  }));
  for (const auto& h : all) EXPECT_GT(h.similarity, 0.01);
  const auto top = searchSimilar(query, 12, true, t.db());
  EXPECT_EQ(top, std::vector<SimilarityHit>(all.begin(), all.begin() + 12));
}

TEST(VectorStore, ColdMissingAndDeletedMemories) {
  testing::TestDatabase t;
  addMemory(t.db(), "live");
  addMemory(t.db(), "cold", "cold");
  addMemory(t.db(), "deleted", "semantic", /*deleted=*/true);
  for (const char* id : {"live", "cold", "deleted", "orphan"}) storeEmbedding(id, {1, 0}, t.db());
  const std::vector<float> query = {1, 0};
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, t.db())), Ids{"live"});
  // Without the tier filter, cold vectors and vectors whose memory is gone are searched, but a
  // memory the user deleted never comes back.
  Ids all = idsOf(searchSimilar(query, 10, false, t.db()));
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (Ids{"cold", "live", "orphan"}));
  EXPECT_EQ(VectorStore(t.db()).fetchVectorCandidates(true).size(), 1u);
  EXPECT_EQ(VectorStore(t.db()).fetchVectorCandidates(false).size(), 3u);
}

// The search keeps only a few times the limit of its best hits; when all of those are refused
// it must still find the ones below them.
TEST(VectorStore, BestHitsThatAreAllRefusedDoNotHideTheRest) {
  testing::TestDatabase t;
  db::Savepoint batch(t.db());
  for (int i = 0; i < 200; ++i) {
    const std::string deleted = "deleted" + std::to_string(i);
    addMemory(t.db(), deleted, "episodic", /*deleted=*/true);
    storeEmbedding(deleted, {1, 0}, t.db());
    const std::string theirs = "theirs" + std::to_string(i);
    addMemory(t.db(), theirs);
    t.db().run("UPDATE memories SET project = '/b' WHERE id = ?", {db::text(theirs)});
    storeEmbedding(theirs, {1, 0.1f}, t.db());
  }
  for (const char* id : {"live1", "live2", "live3"}) {
    addMemory(t.db(), id);
    t.db().run("UPDATE memories SET project = '/a' WHERE id = ?", {db::text(id)});
  }
  storeEmbedding("live1", {1, 0.2f}, t.db());
  storeEmbedding("live2", {1, 0.3f}, t.db());
  storeEmbedding("live3", {1, 0.4f}, t.db());
  batch.commit();
  const std::vector<float> query = {1, 0};
  const std::optional<std::string> a = "/a";
  for (bool packed : {false, true}) {
    SCOPED_TRACE(packed ? "packed" : "read");
    std::optional<KeptVectorCopy> kept;
    if (packed) kept.emplace(t.db());
    auto search = [&](std::int64_t limit, bool excludeCold, const std::optional<std::string>& p) {
      return kept ? searchSimilar(query, limit, excludeCold, *kept, p)
                  : searchSimilar(query, limit, excludeCold, t.db(), p);
    };
    EXPECT_EQ(idsOf(search(2, true, a)), (Ids{"live1", "live2"}));
    const auto all = search(2, false, std::nullopt);
    EXPECT_EQ(idsOf(all), (Ids{"theirs0", "theirs1"}));
  }
}

TEST(VectorStore, AProjectSearchesItsOwnAndGlobalVectorsOnly) {
  testing::TestDatabase t;
  for (const char* id : {"mine", "theirs", "global", "cold-mine", "orphan"}) {
    addMemory(t.db(), id, std::string_view(id).starts_with("cold") ? "cold" : "episodic");
  }
  t.db().exec(
      "UPDATE memories SET project = '/a' WHERE id IN ('mine', 'cold-mine');"
      "UPDATE memories SET project = '/b' WHERE id = 'theirs';"
      "DELETE FROM memories WHERE id = 'orphan';");
  // The other project's vector is the best match: it must not take a place of the limit.
  storeEmbedding("theirs", {1, 0}, t.db());
  storeEmbedding("mine", {1, 0.2f}, t.db());
  storeEmbedding("global", {1, 0.4f}, t.db());
  storeEmbedding("cold-mine", {1, 0}, t.db());
  storeEmbedding("orphan", {1, 0}, t.db());
  const std::vector<float> query = {1, 0};
  const std::optional<std::string> a = "/a";
  EXPECT_EQ(idsOf(searchSimilar(query, 2, true, t.db(), a)), (Ids{"mine", "global"}));
  Ids all = idsOf(searchSimilar(query, 10, false, t.db(), a));
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all, (Ids{"cold-mine", "global", "mine"}));
  EXPECT_EQ(VectorStore(t.db()).fetchVectorCandidates(true, a).size(), 2u);
  EXPECT_EQ(idsOf(searchSimilar(query, 1, true, t.db())), Ids{"theirs"});
}

// What the search returned when it was the plain statement and a loop: the candidates the
// joined statement gives, each compared, the similar ones stably sorted, the first `limit`.
std::vector<SimilarityHit> plainSearch(db::Connection& db, std::span<const float> query,
                                       std::size_t limit, bool excludeCold,
                                       const std::optional<std::string>& project) {
  std::vector<SimilarityHit> hits;
  for (const auto& c : VectorStore(db).fetchVectorCandidates(excludeCold, project)) {
    if (c.embedding.size() != query.size()) continue;
    const double similarity = cosineSimilarity(query, c.embedding);
    if (similarity > 0.01) hits.push_back({c.memoryID, similarity});
  }
  std::stable_sort(hits.begin(), hits.end(),
                   [](const auto& a, const auto& b) { return a.similarity > b.similarity; });
  if (hits.size() > limit) hits.resize(limit);
  return hits;
}

// A store where most similarities tie (vectors from six directions, some scaled), spread over
// projects, global, cold, deleted and missing memories, with malformed rows and other
// dimensions, large enough that the search must ask about several batches of its best hits.
// Project "/q" holds `percentInQ` percent of the memories that have one; "/p" and "/r" the rest.
void fillTangledStore(db::Connection& db, int percentInQ) {
  std::mt19937 random(12 + static_cast<unsigned>(percentInQ));
  const std::vector<std::vector<float>> directions = {
      {1, 0, 0, 0}, {1, 1, 0, 0}, {0, 1, 0, 0}, {1, 1, 1, 1}, {-1, 0, 0, 0}, {0.5f, 0.5f, 0, 0}};
  db::Savepoint batch(db);
  for (int i = 0; i < 1500; ++i) {
    const std::string id = "m" + std::to_string(i);
    const int kind = static_cast<int>(random() % 100);
    const bool inQ = static_cast<int>(random() % 100) < percentInQ;
    const char* project = inQ ? "/q" : random() % 2 == 0 ? "/p" : "/r";
    if (kind >= 6) {  // below 6: the memory row is gone
      db.run("INSERT INTO memories (id, tier, body, project, deleted_at) VALUES (?, ?, 'b', ?, ?)",
             {db::text(id), db::text(kind < 12 ? "cold" : "episodic"),
              kind >= 96 ? db::Value(db::Null{}) : db::text(project),
              kind >= 12 && kind < 18 ? db::text("2026-01-01T00:00:00.000+0000")
                                      : db::Value(db::Null{})});
    }
    std::vector<float> v = directions[random() % directions.size()];
    if (random() % 3 == 0) {
      for (auto& x : v) x *= 2.0f;
    }
    if (random() % 50 == 0) v.push_back(1.0f);  // another dimension
    if (random() % 80 == 0) v.assign(4, 0.0f);
    storeEmbedding(id, v, db);
  }
  addRawVector(db, db::text("short"), db::Blob{std::string(3, '\0')});
  addRawVector(db, db::text("nulled"), db::Null{});
  addRawVector(db, std::int64_t{5}, db::Blob{encodeEmbedding(std::vector<float>{1, 0, 0, 0})});
  storeEmbedding("m3", {1, 1, 0, 0}, db);  // replaced: its row moves to the end
  batch.commit();
}

// A project's vectors are read by index or in one plain pass depending on its share of the
// store; either way the hits are those of the joined statement, in its order.
class SearchMatchesThePlainStatements : public ::testing::TestWithParam<int> {};

TEST_P(SearchMatchesThePlainStatements, TopHitsInTheirOrder) {
  testing::TestDatabase t;
  fillTangledStore(t.db(), GetParam());
  const std::vector<std::vector<float>> queries = {{1, 0, 0, 0}, {1, 1, 0, 0}, {0.3f, 1, 0.2f, 0}};
  std::optional<KeptVectorCopy> kept;
  auto compareAll = [&](const char* how) {
    for (const auto& query : queries) {
      for (bool excludeCold : {true, false}) {
        for (const std::optional<std::string>& project :
             {std::optional<std::string>(), std::optional<std::string>("/q")}) {
          for (std::size_t limit : {1u, 7u, 50u, 2000u}) {
            SCOPED_TRACE(std::string(how) + " cold=" + (excludeCold ? "out" : "in") +
                         " project=" + project.value_or("-") + " limit=" + std::to_string(limit) +
                         " query=" + std::to_string(query[1]));
            const auto want = plainSearch(t.db(), query, limit, excludeCold, project);
            const auto limitArgument = static_cast<std::int64_t>(limit);
            EXPECT_EQ(kept ? searchSimilar(query, limitArgument, excludeCold, *kept, project)
                           : searchSimilar(query, limitArgument, excludeCold, t.db(), project),
                      want);
          }
        }
      }
    }
  };
  compareAll("read");
  kept.emplace(t.db());
  compareAll("packed");
  compareAll("packed again");
}

INSTANTIATE_TEST_SUITE_P(ProjectShare, SearchMatchesThePlainStatements,
                         ::testing::Values(5, 50, 100));

// Vectors of a real model's length, whose components the search sums eight at a time with a
// tail, score exactly as cosineSimilarity does, read from the table or from a kept copy.
TEST(VectorStore, LongVectorsScoreAsCosineSimilarityBitForBit) {
  testing::TestDatabase t;
  std::mt19937 random(23);
  std::normal_distribution<float> component;
  auto vectorOf = [&](std::size_t dimension) {
    std::vector<float> v(dimension);
    for (auto& x : v) x = component(random);
    return v;
  };
  t.db().exec("BEGIN");
  for (int i = 0; i < 400; ++i) {
    std::string id = "m";
    id += std::to_string(i);
    addMemory(t.db(), id);
    storeEmbedding(id, vectorOf(i % 5 == 0 ? 256 : 259), t.db());
  }
  t.db().exec("COMMIT");
  KeptVectorCopy kept(t.db());
  for (std::size_t dimension : {256u, 259u}) {
    const std::vector<float> query = vectorOf(dimension);
    const auto want = plainSearch(t.db(), query, 30, true, std::nullopt);
    ASSERT_EQ(want.size(), 30u);
    EXPECT_EQ(searchSimilar(query, 30, true, t.db()), want) << dimension;
    EXPECT_EQ(searchSimilar(query, 30, true, kept), want) << dimension;
  }
}

// A store past the size whose plain read is split between threads, read as the commands read
// it: the parts' best hits, merged, are those of one pass, ties in row order across the parts,
// whatever the project, the tier filter and the limit. The vectors most like (1, 1) lie from
// rowid 22,400 on, across the middle, where a split in two puts its bound; the rest tie in
// few directions. The memories are live, cold, deleted, global or missing in a pattern that
// crosses the bound, and one row lies below every rowid the store gave.
TEST(VectorStore, ASplitReadFindsWhatOnePassFinds) {
  testing::TestDatabase t;
  t.db().exec(R"sql(
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 45000)
    INSERT INTO memory_vectors (memory_id, embedding, model, created_at)
    SELECT 'm' || i,
           CASE WHEN i > 22400 AND (i % 5 = 0 OR i = 22501) THEN x'0000803f0000803f'
                ELSE CASE (i * 37) % 5
                       WHEN 0 THEN x'0000803f00000000' WHEN 1 THEN x'000000000000803f'
                       WHEN 2 THEN x'0000803f0000003f' WHEN 3 THEN x'000080bf00000000'
                       ELSE x'0000803f0000803f0000803f' END END,
           'NLEmbedding', '' FROM n;
    WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 45000)
    INSERT INTO memories (id, tier, body, project, deleted_at)
    SELECT 'm' || i, CASE WHEN (i * 13) % 20 = 1 THEN 'cold' ELSE 'episodic' END, 'b',
           CASE WHEN (i * 13) % 20 = 3 THEN NULL WHEN i % 3 = 0 THEN '/p' ELSE '/q' END,
           CASE WHEN (i * 13) % 20 = 2 THEN '2026-01-01T00:00:00.000+0000' END
    FROM n WHERE (i * 13) % 20 != 0;
    INSERT INTO memory_vectors (rowid, memory_id, embedding, model, created_at)
    VALUES (-4, 'below', x'0000803f0000803f', 'NLEmbedding', '');
    INSERT INTO memories (id, body, project) VALUES ('below', 'b', '/q');
  )sql");
  auto reader = db::Connection::open(t.path(), {.readOnly = true});
  for (const std::vector<float>& query : {std::vector<float>{1, 1}, std::vector<float>{0.3f, 1}}) {
    for (bool excludeCold : {true, false}) {
      for (const std::optional<std::string>& project :
           {std::optional<std::string>(), std::optional<std::string>("/q")}) {
        const auto all = plainSearch(t.db(), query, 50000, excludeCold, project);
        for (std::size_t limit : {1u, 50u, 2000u}) {
          SCOPED_TRACE("cold=" + std::string(excludeCold ? "out" : "in") +
                       " project=" + project.value_or("-") + " limit=" + std::to_string(limit) +
                       " query=" + std::to_string(query[0]));
          const std::vector<SimilarityHit> want(
              all.begin(), all.begin() + static_cast<std::ptrdiff_t>(std::min(limit, all.size())));
          EXPECT_EQ(
              searchSimilar(query, static_cast<std::int64_t>(limit), excludeCold, reader, project),
              want);
        }
      }
    }
  }
}

// The search keeps only the best few times the limit of its hits; when the memories of all of
// those may not be returned (here the best 40 are forgotten), it searches again keeping every
// hit, and answers as the plain statement would.
TEST(VectorStore, TooFewReturnableAmongTheKeptHitsSearchesAgain) {
  testing::TestDatabase t;
  db::Savepoint batch(t.db());
  for (int i = 0; i < 60; ++i) {
    const std::string id = "m" + std::to_string(i);
    const bool forgotten = i < 40;
    addMemory(t.db(), id, i % 7 == 0 ? "cold" : "episodic", forgotten);
    // The forgotten ones lie nearest the query; the rest in falling order, with ties.
    const float away = forgotten ? 0.01f * static_cast<float>(i % 5) : 0.1f + 0.02f * (i % 9);
    storeEmbedding(id, {1, away}, t.db());
  }
  batch.commit();
  const std::vector<float> query = {1, 0};
  std::optional<KeptVectorCopy> kept;
  for (const char* how : {"read", "packed"}) {
    if (std::string_view(how) == "packed") kept.emplace(t.db());
    for (bool excludeCold : {true, false}) {
      for (std::size_t limit : {1u, 2u, 5u}) {
        SCOPED_TRACE(std::string(how) + " cold=" + (excludeCold ? "out" : "in") +
                     " limit=" + std::to_string(limit));
        const auto want = plainSearch(t.db(), query, limit, excludeCold, std::nullopt);
        ASSERT_EQ(want.size(), limit);
        const auto limitArgument = static_cast<std::int64_t>(limit);
        EXPECT_EQ(kept ? searchSimilar(query, limitArgument, excludeCold, *kept)
                       : searchSimilar(query, limitArgument, excludeCold, t.db()),
                  want);
      }
    }
  }
}

// The packed copy follows what this connection (as its writer reports) and others store, and
// the memories' tiers and deletion marks are read at each search.
TEST(VectorStore, AKeptCopyFollowsWritesOfEveryConnection) {
  testing::TestDatabase t;
  auto other = db::Connection::open(t.path());
  for (const char* id : {"a", "b", "c", "d"}) addMemory(t.db(), id);
  storeEmbedding("a", {1, 0}, t.db());
  KeptVectorCopy kept(t.db());
  const std::vector<float> query = {1, 0};
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, kept)), Ids{"a"});
  storeEmbedding("b", {1, 0.1f}, t.db());
  kept.noteVectorStored();
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, kept)), (Ids{"a", "b"}));
  storeEmbedding("c", {1, 0.2f}, other);
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, kept)), (Ids{"a", "b", "c"}));
  other.run(
      "INSERT OR REPLACE INTO memory_vectors (memory_id, embedding, model, created_at) "
      "VALUES ('d', ?, 'NLEmbedding', '')",
      {db::Blob{encodeEmbedding(std::vector<float>{1, 0.05f})}});
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, kept)), (Ids{"a", "d", "b", "c"}));
  other.exec("UPDATE memories SET tier = 'cold' WHERE id = 'b'");
  other.exec("UPDATE memories SET deleted_at = 'x' WHERE id = 'd'");
  EXPECT_EQ(idsOf(searchSimilar(query, 10, true, kept)), (Ids{"a", "c"}));
}

TEST(VectorStore, ErrorsOfTheDatabaseAreThrown) {
  db::Connection bare = db::Connection::openInMemory();
  EXPECT_THROW(searchSimilar(std::vector<float>{1}, 5, true, bare), db::Error);
  EXPECT_THROW(VectorStore(bare).fetchVectorCandidates(false), db::Error);
  EXPECT_THROW(storeEmbedding("m", {1}, bare), db::Error);
}

TEST(VectorStore, EmbedGivesTheSentenceVector) {
  const auto v = embed("Run the tests before pushing.");
  ASSERT_TRUE(v.has_value());
  EXPECT_EQ(v->size(), 256u);
  EXPECT_FALSE(embed("").has_value());
  EXPECT_FALSE(embed("?!").has_value());
}

TEST(VectorStore, RecallFindsAParaphraseThroughStoredVectors) {
  testing::TestDatabase t;
  const std::pair<const char*, const char*> memories[] = {
      {"tests", "Always run the unit tests before you push to the main branch."},
      {"tabs", "Indent Python files with four spaces, never tabs."},
      {"keys", "API keys belong in the keychain, not in the repository."},
  };
  for (const auto& [id, body] : memories) {
    addMemory(t.db(), id);
    storeEmbedding(id, *embed(body), t.db());
  }
  const auto hits = searchSimilar(*embed("run tests before pushing"), 5, true, t.db());
  ASSERT_FALSE(hits.empty());
  EXPECT_EQ(hits[0].memoryID, "tests");
  for (const auto& unrelated : searchSimilar(*embed("lunch menu on friday"), 5, true, t.db())) {
    EXPECT_LT(unrelated.similarity, hits[0].similarity / 2);  // at most a hash collision
  }
}

}  // namespace
}  // namespace nodrel::store
