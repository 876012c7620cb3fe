#include "store/query_router.h"

#include <gtest/gtest.h>

#include "platform/tagger.h"

namespace nodrel::store {
namespace {

using Edges = std::set<std::string>;
using Tiers = std::vector<std::string>;

TEST(QueryRouter, EmptyQueryIsGeneral) {
  for (std::string_view q : {"", "   \n\t "}) {
    SCOPED_TRACE(q);
    const QueryRoute r = QueryRouter::route(q);
    EXPECT_EQ(r.classification, "general");
    EXPECT_TRUE(r.tiers.empty());
    EXPECT_TRUE(r.preferredEdgeTypes.empty());
    EXPECT_EQ(lexicalScore(q), 0.0);
    EXPECT_EQ(r.bm25Weight, 0.2);
    EXPECT_EQ(r.vectorWeight, 0.5);
    EXPECT_EQ(r.graphWeight, 0.3);
  }
}

TEST(QueryRouter, Classification) {
  struct Case {
    std::string query;
    std::string classification;
    Tiers tiers;
    Edges edges;
  };
  const Case cases[] = {
      {"/usr/local/bin", "file-scoped", {}, {"entity", "related"}},
      {"~/notes anything", "file-scoped", {}, {"entity", "related"}},
      {"./build how to", "file-scoped", {}, {"entity", "related"}},
      {"what changed in Router.PY today", "file-scoped", {}, {"entity", "related"}},
      {"look at config.json please", "file-scoped", {}, {"entity", "related"}},
      {"how to fix main.go", "file-scoped", {}, {"entity", "related"}},
      {"  \n  how to always name tests", "procedural", {"procedural"}, {"causal", "related"}},
      {"HOW DO I deploy", "procedural", {"procedural"}, {"causal", "related"}},
      {"when did we last deploy", "temporal", {"episodic"}, {"temporal", "related"}},
      {"what is the convention", "semantic", {"semantic"}, {"semantic", "related"}},
      {"installer notes", "general", {}, {}},
      {"conventions", "general", {}, {}},
      {"look at main.py, then", "general", {}, {}},  // "py," is no extension
      {"notes.md e.g", "general", {}, {}},
      {"ask Mr.C", "file-scoped", {}, {"entity", "related"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    const QueryRoute r = QueryRouter::route(c.query);
    EXPECT_EQ(r.classification, c.classification);
    EXPECT_EQ(r.tiers, c.tiers);
    EXPECT_EQ(r.preferredEdgeTypes, c.edges);
    EXPECT_DOUBLE_EQ(r.bm25Weight + r.vectorWeight + r.graphWeight, 1.0);
  }
}

TEST(QueryRouter, LexicalScoreSetsTheWeights) {
  struct Case {
    std::string query;
    double score;
    double bm25, vector;
  };
  const Case cases[] = {
      {"fix parseConfig", 0.6, 0.35, 0.35},
      {"update the readme file please", 0.0, 0.2, 0.5},
      {"parseConfig ab3_final", 1.0, 0.5, 0.2},
      {"SQL x 7 _ __", 0.4, 0.35, 0.35},  // SQL and __ look like code; x, 7 and _ do not
      {"tell me about the router now", 0.0, 0.2, 0.5},
      {"½x cup", 0.6, 0.35, 0.35},  // a numeric character that is no digit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    EXPECT_NEAR(lexicalScore(c.query), c.score, 1e-12);
    const QueryRoute r = QueryRouter::route(c.query);
    EXPECT_EQ(r.bm25Weight, c.bm25);
    EXPECT_EQ(r.vectorWeight, c.vector);
    EXPECT_EQ(r.graphWeight, 0.3);
  }
}

TEST(QueryRouter, NamesRaiseTheLexicalScore) {
  if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  EXPECT_EQ(countNamedEntities("ask Ada Lovelace and Grace Hopper about GitHub"), 3);
  EXPECT_EQ(countNamedEntities("Use tabs. Always run the tests."), 0);
  // 1 name + 1 code-like token over 4 tokens, plus 0.1 for a short query
  EXPECT_NEAR(lexicalScore("ask Alice about parseConfig"), 0.6, 1e-12);
}

TEST(QueryRouter, BandBoundsBelongToTheUpperBand) {
  // 3 code-like of 10 tokens: exactly 0.3; 7 of 10: exactly 0.7
  const QueryRoute low = QueryRouter::route("a1 b2 c3 words without any code in them here");
  EXPECT_EQ(low.bm25Weight, 0.35);
  const QueryRoute high = QueryRouter::route("a1 b2 c3 d4 e5 f6 g7 plain words here");
  EXPECT_EQ(high.bm25Weight, 0.5);
}

TEST(QueryRouter, Tables) {
  EXPECT_EQ(QueryRouter::fileExtensions().size(), 21u);
  ASSERT_EQ(QueryRouter::patterns().size(), 3u);
  EXPECT_EQ(QueryRouter::patterns()[0].classification, "procedural");
  EXPECT_EQ(QueryRouter::patterns()[1].classification, "temporal");
  EXPECT_EQ(QueryRouter::patterns()[2].classification, "semantic");
  EXPECT_TRUE(isFileScopedQuery("/"));
  EXPECT_FALSE(isFileScopedQuery(" /leading space"));  // the caller trims; this function does not
}

}  // namespace
}  // namespace nodrel::store
