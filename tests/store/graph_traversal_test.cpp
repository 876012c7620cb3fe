#include "store/graph_traversal.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "db/connection.h"
#include "db/error.h"
#include "db/savepoint.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kInsertLink =
    "INSERT INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
    "VALUES (?, ?, ?, ?, '2026-01-01T00:00:00.000+0000')";

class GraphTraversalTest : public ::testing::Test {
 protected:
  void link(const std::string& src, const std::string& dst, db::Value weight = 1.0,
            const std::string& type = "semantic") {
    db().run(kInsertLink, {db::Value(src), db::Value(dst), db::Value(type), weight});
  }
  std::map<std::string, double> traverse(std::vector<std::string> seeds, int hops,
                                         std::vector<std::string> types = {},
                                         std::int64_t limit = 50) {
    std::map<std::string, double> out;
    for (const auto& hit : GraphTraversal(db()).traverse(seeds, hops, types, limit)) {
      out[hit.id] = hit.score;
    }
    return out;
  }
  db::Connection& db() { return database_.db(); }

  testing::TestDatabase database_;
};

TEST_F(GraphTraversalTest, ScoresHalveEachHopAndMultiplyWeights) {
  link("A", "B", 0.8);
  link("B", "C", 0.5);
  auto hits = GraphTraversal(db()).traverse(std::vector<std::string>{"A"}, 2, {}, 50);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, "B");
  EXPECT_DOUBLE_EQ(hits[0].score, 0.4);
  EXPECT_EQ(hits[1].id, "C");
  EXPECT_DOUBLE_EQ(hits[1].score, 0.05);
  EXPECT_EQ(traverse({"A"}, 1), (std::map<std::string, double>{{"B", 0.4}}));
}

TEST_F(GraphTraversalTest, HopsAreClampedToOneThroughThree) {
  for (auto [src, dst] : {std::pair{"A", "B"}, {"B", "C"}, {"C", "D"}, {"D", "E"}}) link(src, dst);
  struct Case {
    int hops;
    std::size_t reached;
  };
  const Case cases[] = {{0, 1}, {-2, 1}, {1, 1}, {2, 2}, {3, 3}, {7, 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hops);
    EXPECT_EQ(traverse({"A"}, c.hops).size(), c.reached);
  }
}

TEST_F(GraphTraversalTest, FollowsLinksBothWaysAndNeverScoresSeeds) {
  link("B", "A", 0.6);  // stored towards the seed
  link("A", "D");       // two seeds linked to each other
  link("D", "A");
  EXPECT_EQ(traverse({"A"}, 1), (std::map<std::string, double>{{"B", 0.3}, {"D", 0.5}}));
  EXPECT_EQ(traverse({"A", "D"}, 3), (std::map<std::string, double>{{"B", 0.3}}));
}

TEST_F(GraphTraversalTest, ANeighbourReachedTwiceInOneHopKeepsTheBetterScore) {
  link("A", "B", 0.2);
  link("D", "B", 0.9);
  EXPECT_DOUBLE_EQ(traverse({"A", "D"}, 1).at("B"), 0.45);
  EXPECT_DOUBLE_EQ(traverse({"D", "A"}, 1).at("B"), 0.45);
}

TEST_F(GraphTraversalTest, OddWeightsReadAsOne) {
  link("A", "B", db::Null{});
  link("A", "D", db::Value("heavy"));
  link("A", "E", -1.0);  // a negative product scores 0, never below
  EXPECT_EQ(traverse({"A"}, 1),
            (std::map<std::string, double>{{"B", 0.5}, {"D", 0.5}, {"E", 0.0}}));
}

TEST_F(GraphTraversalTest, EdgeTypesRestrictWhatIsFollowed) {
  link("A", "B", 1.0, "semantic");
  link("A", "C", 1.0, "temporal");
  link("A", "D", 1.0, "related");
  EXPECT_EQ(traverse({"A"}, 1, {"semantic", "related"}).size(), 2u);
  EXPECT_FALSE(traverse({"A"}, 1, {"semantic", "related"}).contains("C"));
  EXPECT_EQ(traverse({"A"}, 1, {}).size(), 3u);
}

TEST_F(GraphTraversalTest, LimitCutsAfterSorting) {
  link("A", "B", 0.1);
  link("A", "C", 0.9);
  link("A", "D", 0.5);
  auto hits = GraphTraversal(db()).traverse(std::vector<std::string>{"A"}, 1, {}, 2);
  ASSERT_EQ(hits.size(), 2u);
  EXPECT_EQ(hits[0].id, "C");
  EXPECT_EQ(hits[1].id, "D");
  EXPECT_TRUE(GraphTraversal(db()).traverse(std::vector<std::string>{"A"}, 1, {}, 0).empty());
  EXPECT_TRUE(GraphTraversal(db()).traverse(std::vector<std::string>{"A"}, 1, {}, -5).empty());
}

TEST_F(GraphTraversalTest, AProjectWalkCrossesEveryLinkButReturnsOnlyWhatItMaySee) {
  db().exec(
      "INSERT INTO memories (id, tier, body, project, created_at) VALUES "
      "('mine', 'episodic', 'x', '/a', ''), ('mine2', 'episodic', 'y', '/a', ''), "
      "('theirs', 'episodic', 'z', '/b', ''), ('global', 'episodic', 'w', NULL, ''), "
      "('seed', 'episodic', 's', '/a', '');");
  link("seed", "theirs", 1.0);   // the best hit, but another project's
  link("theirs", "mine2", 1.0);  // reached through it
  link("seed", "mine", 0.5);
  link("seed", "global", 0.4);
  link("seed", "code:f1", 0.2);  // no memory at all: the caller's to filter
  const std::vector<std::string> seeds{"seed"};
  std::map<std::string, double> scoped;
  for (const auto& hit : GraphTraversal(db()).traverse(seeds, 2, {}, 2, std::string("/a"))) {
    scoped[hit.id] = hit.score;
  }
  EXPECT_EQ(scoped, (std::map<std::string, double>{{"mine", 0.25}, {"global", 0.2}}));
  scoped.clear();
  for (const auto& hit : GraphTraversal(db()).traverse(seeds, 2, {}, 50, std::string("/a"))) {
    scoped[hit.id] = hit.score;
  }
  EXPECT_EQ(scoped, (std::map<std::string, double>{
                        {"mine", 0.25}, {"global", 0.2}, {"mine2", 0.125}, {"code:f1", 0.1}}));
  EXPECT_EQ(traverse({"seed"}, 2).size(), 5u);
}

// However few of the best hits are the project's own, the scoped walk returns what dropping
// every other project's memory from the whole walk and then cutting it gives.
TEST_F(GraphTraversalTest, AProjectWalkKeepsTheBestOfItsOwnHowEverManyAreForeign) {
  std::mt19937 rng(23);
  std::map<std::string, std::string> projectOf;  // "" for a global memory
  for (int i = 0; i < 400; ++i) {
    const std::string id = "m" + std::to_string(i);
    // Mostly another project's, so the own ones lie past the first few the walk asks about.
    const int draw = static_cast<int>(rng() % 20);
    projectOf[id] = draw < 16 ? "/b" : draw < 19 ? "/a" : "";
    db().run(
        "INSERT INTO memories (id, tier, body, project, created_at) VALUES (?, 'episodic', ?, ?, "
        "'')",
        {db::Value(id), db::Value(id),
         projectOf[id].empty() ? db::Value(db::Null{}) : db::Value(projectOf[id])});
  }
  std::set<std::pair<std::string, std::string>> linked;
  for (int i = 0; i < 1500; ++i) {
    const std::string src = "m" + std::to_string(rng() % 400);
    const std::string dst =
        i % 50 == 0 ? "code:f" + std::to_string(i) : "m" + std::to_string(rng() % 400);
    if (!linked.emplace(src, dst).second) continue;
    link(src, dst, 0.05 + static_cast<double>(rng() % 95) / 100.0);
  }
  const std::vector<std::string> seeds{"m1", "m2", "m3", "m4", "m5"};
  const auto everything = GraphTraversal(db()).traverse(seeds, 2, {}, 100000);
  for (const std::int64_t limit : {1, 7, 50, 400}) {
    SCOPED_TRACE(limit);
    std::vector<std::pair<std::string, double>> expected;
    for (const auto& hit : everything) {
      auto it = projectOf.find(hit.id);
      if (it != projectOf.end() && it->second == "/b") continue;
      if (static_cast<std::int64_t>(expected.size()) < limit)
        expected.emplace_back(hit.id, hit.score);
    }
    std::vector<std::pair<std::string, double>> scoped;
    for (const auto& hit : GraphTraversal(db()).traverse(seeds, 2, {}, limit, std::string("/a"))) {
      scoped.emplace_back(hit.id, hit.score);
    }
    EXPECT_EQ(scoped, expected);
  }
}

TEST_F(GraphTraversalTest, RowsWithNonTextEndsAreSkipped) {
  db().run(
      "INSERT INTO memory_links (src_id, dst_id, link_type, weight) VALUES ('A', X'42', 's', 1)");
  db().run(
      "INSERT INTO memory_links (src_id, dst_id, link_type, weight) VALUES (X'41', 'A', 's', 1)");
  link("A", "B");
  EXPECT_EQ(traverse({"A"}, 1), (std::map<std::string, double>{{"B", 0.5}}));
}

TEST_F(GraphTraversalTest, IdenticalRowsOfDifferentTypesComeBackOnce) {
  link("A", "B", 0.5, "semantic");
  link("A", "B", 0.5, "entity");
  link("A", "B", 0.7, "temporal");
  const std::vector<std::string> ids{"A"};
  EXPECT_EQ(GraphTraversal(db()).fetchEdges(ids, {}).size(), 2u);
}

// Frontiers larger than one statement may bind: the answer must be the one a single statement
// would give, including links whose two ends fall into different batches.
TEST_F(GraphTraversalTest, HugeFrontiersAreReadInBatches) {
  std::vector<std::string> seeds;
  db::Savepoint batch(db());
  for (int i = 0; i < 2500; ++i) {
    seeds.push_back("seed" + std::to_string(i));
    link(seeds.back(), "leaf" + std::to_string(i), 0.5);
  }
  link("seed0", "seed2499", 0.9);  // both ends are seeds in different batches
  batch.commit();
  const auto edges = GraphTraversal(db()).fetchEdges(seeds, std::vector<std::string>{"semantic"});
  EXPECT_EQ(edges.size(), 2501u);
  // A hop expands the 50 best-scored nodes of its frontier; of seeds that score alike, the first.
  auto hits = GraphTraversal(db()).traverse(seeds, 2, {}, 100000);
  ASSERT_EQ(hits.size(), 50u);
  std::set<std::string> reached;
  for (const auto& hit : hits) {
    EXPECT_DOUBLE_EQ(hit.score, 0.25);
    reached.insert(hit.id);
  }
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(reached.contains("leaf" + std::to_string(i))) << i;
}

// The walk as it stood before a hop's frontier was bounded: every frontier node's links read,
// in the order fetchEdges gives them. Sets `widest` to the largest frontier it expanded.
std::vector<GraphHit> unboundedWalk(GraphTraversal& graph, const std::vector<std::string>& seeds,
                                    int hops, std::size_t& widest) {
  std::set<std::string> visited(seeds.begin(), seeds.end());
  std::map<std::string, double> scores;
  std::vector<std::pair<std::string, double>> frontier;
  for (const auto& seed : seeds) frontier.emplace_back(seed, 1.0);
  widest = 0;
  for (int hop = 1; hop <= hops && !frontier.empty(); ++hop) {
    std::map<std::string, double> parents;
    std::vector<std::string> ids;
    for (const auto& [id, score] : frontier) {
      ids.push_back(id);
      parents[id] = std::max(parents.contains(id) ? parents[id] : score, score);
    }
    widest = std::max(widest, parents.size());
    std::vector<std::pair<std::string, double>> next;
    for (const auto& edge : graph.fetchEdges(ids, {})) {
      const bool forward = parents.contains(edge.srcID);
      const std::string& neighbour = forward ? edge.dstID : edge.srcID;
      const std::string& parent = forward ? edge.srcID : edge.dstID;
      const double candidate = (1.0 / (1 << hop)) * edge.weight * parents[parent];
      if (visited.insert(neighbour).second) {
        scores[neighbour] = std::max(candidate, 0.0);
        next.emplace_back(neighbour, scores[neighbour]);
      } else if (scores.contains(neighbour) && scores[neighbour] < candidate) {
        scores[neighbour] = candidate;
      }
    }
    frontier = std::move(next);
  }
  std::vector<GraphHit> hits;
  for (const auto& [id, score] : scores) hits.push_back({id, score});
  std::sort(hits.begin(), hits.end(), [](const GraphHit& a, const GraphHit& b) {
    return a.score != b.score ? a.score > b.score : a.id < b.id;
  });
  if (hits.size() > 50) hits.resize(50);
  return hits;
}

// On tangled graphs (links both ways, equal and missing weights, one pair linked twice) whose
// frontiers stay within 50 nodes, the bounded walk returns exactly what the unbounded one did.
TEST_F(GraphTraversalTest, FrontiersOfFiftyOrFewerWalkAsTheUnboundedWalk) {
  std::mt19937 random(15);
  const db::Value weights[] = {0.5, 0.5, 0.25, 0.8, db::Null{}, std::int64_t{1}};
  int compared = 0;
  for (int graphNumber = 0; graphNumber < 6; ++graphNumber) {
    db().exec("DELETE FROM memory_links");
    const int nodes = 30 + static_cast<int>(random() % 40);
    for (int i = 0; i < nodes * 3; ++i) {
      const std::string src = "n" + std::to_string(random() % nodes);
      const std::string dst = "n" + std::to_string(random() % nodes);
      if (src == dst) continue;
      const auto& weight = weights[random() % std::size(weights)];
      db().run(
          "INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight) "
          "VALUES (?, ?, ?, ?)",
          {db::Value(src), db::Value(dst), db::Value(random() % 4 == 0 ? "entity" : "semantic"),
           weight});
    }
    GraphTraversal graph(db());
    for (int walk = 0; walk < 10; ++walk) {
      std::vector<std::string> seeds;
      for (int k = 1 + static_cast<int>(random() % 4); k > 0; --k) {
        seeds.push_back("n" + std::to_string(random() % nodes));
      }
      const int hops = 1 + static_cast<int>(random() % 3);
      std::size_t widest = 0;
      const auto want = unboundedWalk(graph, seeds, hops, widest);
      if (widest > 50) continue;
      SCOPED_TRACE(graphNumber * 100 + walk);
      EXPECT_EQ(graph.traverse(seeds, hops, {}, 50), want);
      ++compared;
    }
  }
  EXPECT_GT(compared, 40);
}

// Past 50 nodes, a hop follows the links of the 50 best-scored only.
TEST_F(GraphTraversalTest, AHopExpandsOnlyTheFiftyBestScoredNodes) {
  db::Savepoint batch(db());
  for (int i = 0; i < 60; ++i) {
    link("S", "N" + std::to_string(i), (100.0 - i) / 100.0);
    link("N" + std::to_string(i), "L" + std::to_string(i), 1.0);
  }
  batch.commit();
  const auto hits = traverse({"S"}, 2, {}, 500);
  for (int i = 0; i < 60; ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(hits.contains("N" + std::to_string(i)));
    EXPECT_EQ(hits.contains("L" + std::to_string(i)), i < 50);
  }
}

// The walk indexes only change how the links are found: the same edges in the same order (the
// order decides which score a node carries into the next hop), typed or not, odd rows included,
// and both ends of a traversal's statement answered from the index alone.
TEST_F(GraphTraversalTest, WalkIndexesChangeNeitherEdgesNorTheirOrder) {
  db::Savepoint batch(db());
  const char* const types[] = {"semantic", "entity", "temporal", "related"};
  std::set<std::string> made;
  for (int i = 0; i < 300; ++i) {
    const std::string src = "m" + std::to_string((i * 37) % 60);
    const std::string dst = "m" + std::to_string((i * 11 + 7) % 60);
    if (src == dst || !made.insert(src + ">" + dst).second) continue;
    link(src, dst, 0.1 * (i % 10), types[i % 4]);
    if (i % 9 == 0) link(src, dst, 0.1 * (i % 10), types[(i + 1) % 4]);  // same row, two types
  }
  link("m1", "m2", db::Null{}, "odd");
  link("m2", "m1", db::Value("heavy"), "odd");
  link("m3", "m4", db::Value(std::int64_t{2}), "odd");
  batch.commit();

  const std::vector<std::string> frontier{"m1", "m2", "m3", "m5", "m8", "m13", "m21"};
  const std::vector<std::vector<std::string>> typeLists{{}, {"entity", "related"}, {"odd"}};
  auto everything = [&] {
    std::vector<std::vector<GraphTraversal::EdgeRow>> edges;
    std::vector<std::vector<GraphHit>> hits;
    for (const auto& typeList : typeLists) {
      edges.push_back(GraphTraversal(db()).fetchEdges(frontier, typeList));
      for (int hops : {2, 3}) {
        hits.push_back(GraphTraversal(db()).traverse(frontier, hops, typeList, 40));
      }
    }
    return std::pair{edges, hits};
  };

  for (std::string types : {"", " AND link_type IN ('entity', 'related')"}) {
    for (const char* end : {"src_id", "dst_id"}) {
      const auto plan = db().query(std::string("EXPLAIN QUERY PLAN SELECT src_id, dst_id, weight "
                                               "FROM memory_links WHERE ") +
                                   end + " IN ('m1', 'm2')" + types);
      ASSERT_FALSE(plan.empty());
      // By target from the walk index alone; by source through the table's own key.
      const std::string step = *db::textOf(plan.back().back());
      EXPECT_NE(step.find(std::string(end) == "dst_id" ? "COVERING INDEX idx_memory_links_dst_walk"
                                                       : "USING PRIMARY KEY (src_id=?)"),
                std::string::npos)
          << step;
    }
  }
  const auto indexed = everything();
  ASSERT_FALSE(indexed.first[0].empty());
  db().exec("DROP INDEX idx_memory_links_dst_walk;");
  EXPECT_EQ(everything(), indexed);
}

constexpr std::string_view kUnionFrom =
    "SELECT src_id, dst_id, weight FROM memory_links WHERE src_id IN (";
constexpr std::string_view kUnionTo =
    " UNION SELECT src_id, dst_id, weight FROM memory_links WHERE dst_id IN (";
constexpr std::string_view kEveryEnd =
    "SELECT src_id FROM memory_links UNION SELECT dst_id FROM memory_links";

// The links a frontier reaches as the one-statement UNION read gives them (SQLite's own
// de-duplication and order), mapped to edges the way fetchEdges maps rows.
std::vector<GraphTraversal::EdgeRow> unionEdges(db::Connection& db,
                                                const std::vector<std::string>& ids,
                                                const std::vector<std::string>& types) {
  auto list = [](std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) out += i == 0 ? "?" : ", ?";
    return out;
  };
  const std::string typed = types.empty() ? "" : " AND link_type IN (" + list(types.size()) + ")";
  const std::string sql = std::string(kUnionFrom) + list(ids.size()) + ")" + typed +
                          std::string(kUnionTo) + list(ids.size()) + ")" + typed;
  std::vector<db::Value> bindings;
  for (int half = 0; half < 2; ++half) {
    bindings.insert(bindings.end(), ids.begin(), ids.end());
    bindings.insert(bindings.end(), types.begin(), types.end());
  }
  std::vector<GraphTraversal::EdgeRow> edges;
  for (const auto& row : db.query(sql, bindings)) {
    const std::string* src = db::textOf(row[0]);
    const std::string* dst = db::textOf(row[1]);
    if (src && dst) edges.push_back({*src, *dst, db::realOf(row[2]).value_or(1.0)});
  }
  return edges;
}

// Random links between identifiers that share prefixes and carry bytes above 0x7f, the same
// (src, dst, weight) under several types, both ends in the frontier, weights of every storage
// class, and rows with a non-text end: the same rows in the same order as the UNION statement.
TEST_F(GraphTraversalTest, EdgesMatchTheUnionStatementRowForRow) {
  std::mt19937 random(20260105);
  auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::string stems[] = {"m", "m1", "M", "\xc3\xa9", "m\xc3\xa9", "mz", "code:src/a.ts"};
  auto id = [&] { return stems[pick(7)] + std::to_string(pick(100)); };
  const char* const types[] = {"semantic", "entity", "temporal", "related"};
  const db::Value weights[] = {0.5,
                               0.25,
                               0.0,
                               -0.5,
                               1.0,
                               db::Null{},
                               db::Value("heavy"),
                               db::Value("light"),
                               db::Blob{"\x01\x02"},
                               db::Value(std::int64_t{3})};

  db::Savepoint batch(db());
  std::set<std::string> made;
  for (int i = 0; i < 3000; ++i) {
    const std::string src = id();
    const std::string dst = id();
    const std::string type = types[pick(4)];
    if (!made.insert(src + '\n' + dst + '\n' + type).second) continue;
    const db::Value& weight = weights[pick(10)];
    link(src, dst, weight, type);
    if (pick(4) == 0) link(src, dst, weight, type + "-again");  // the same row under two types
  }
  link("m1", "m2", db::Value("heavy"), "entity");  // equal as edges, distinct as rows
  link("m1", "m2", db::Value("light"), "related");
  db().run(kInsertLink, {db::Blob{"m1"}, db::Value("m12"), db::Value("entity"), 1.0});
  db().run(kInsertLink, {db::Value("m12"), db::Blob{"m3"}, db::Value("entity"), 1.0});
  batch.commit();

  const std::vector<std::vector<std::string>> typeLists{{}, {"entity", "related"}, {"temporal"}};
  std::size_t compared = 0;
  for (int trial = 0; trial < 30; ++trial) {
    std::vector<std::string> frontier{"m1"};
    for (int n = 1 + pick(60); n > 0; --n) frontier.push_back(id());
    for (const auto& typeList : typeLists) {
      SCOPED_TRACE(::testing::Message() << "trial " << trial << ", types " << typeList.size());
      const auto expected = unionEdges(db(), frontier, typeList);
      compared += expected.size();
      EXPECT_EQ(GraphTraversal(db()).fetchEdges(frontier, typeList), expected);
    }
  }
  EXPECT_GT(compared, 2000u);

  // A frontier read in batches gives the one statement's rows (in batch order, so compared as
  // sets).
  std::vector<std::string> everyID;
  for (const auto& row : db().query(kEveryEnd)) {
    if (const std::string* text = db::textOf(row[0])) everyID.push_back(*text);
  }
  ASSERT_GT(everyID.size(), 500u);
  auto sorted = [](std::vector<GraphTraversal::EdgeRow> edges) {
    std::sort(edges.begin(), edges.end(), [](const auto& a, const auto& b) {
      return std::tie(a.srcID, a.dstID, a.weight) < std::tie(b.srcID, b.dstID, b.weight);
    });
    return edges;
  };
  EXPECT_EQ(sorted(GraphTraversal(db()).fetchEdges(everyID, {})),
            sorted(unionEdges(db(), everyID, {})));
}

TEST(GraphTraversal, NoSeedsRunsNoStatement) {
  auto db = db::Connection::openInMemory();  // no memory_links: any statement would fail
  const std::vector<std::string> none;
  EXPECT_TRUE(GraphTraversal(db).traverse(none, 2, {}, 10).empty());
  EXPECT_TRUE(GraphTraversal(db).fetchEdges(none, {}).empty());
  const std::vector<std::string> seeds{"A"};
  EXPECT_THROW(GraphTraversal(db).traverse(seeds, 2, {}, 10), db::Error);
}

}  // namespace
}  // namespace nodrel::store
