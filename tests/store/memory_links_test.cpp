#include "store/memory_links.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>

#include "db/error.h"
#include "platform/tagger.h"
#include "platform/time.h"
#include "store/write_path.h"
#include "tests/support/temp_home.h"

namespace nodrel::store {
namespace {

using std::chrono::minutes;

std::string timestamp(minutes offset = minutes(0)) {
  return platform::sharedTimestampFormatter().format(platform::now() + offset);
}

// `age`: created this long ago (negative: in the future).
void add(db::Connection& db, const std::string& id, const std::string& body,
         const std::string& tier = "episodic", minutes age = minutes(0), bool deleted = false,
         const std::string& type = "observation",
         const std::optional<std::string>& project = std::nullopt) {
  db.run(
      "INSERT INTO memories (id, tier, body, type, project, created_at, last_accessed, "
      "deleted_at) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
      {db::text(id), db::text(tier), db::text(body), db::text(type), db::optionalText(project),
       db::text(timestamp(-age)), db::text(timestamp(-age)),
       deleted ? db::text(timestamp()) : db::Value(db::Null{})});
  db.run(
      "INSERT INTO memories_fts (rowid, body, tags) SELECT rowid, body, NULL FROM memories "
      "WHERE id = ?",
      {db::text(id)});
}

// link type -> destination -> weight, for the links from `src`
std::map<std::string, std::map<std::string, double>> linksFrom(db::Connection& db,
                                                               const std::string& src) {
  std::map<std::string, std::map<std::string, double>> out;
  for (const auto& row : db.query("SELECT link_type, dst_id, weight, created_at FROM memory_links "
                                  "WHERE src_id = ?",
                                  {db::text(src)})) {
    out[*db::textOf(row[0])][*db::textOf(row[1])] = *db::realOf(row[2]);
    EXPECT_TRUE(platform::sharedTimestampFormatter().parse(*db::textOf(row[3])).has_value());
  }
  return out;
}

std::int64_t linkCount(db::Connection& db) {
  return *db::integerOf(*db.scalar("SELECT count(*) FROM memory_links"));
}

class MemoryLinks : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!platform::taggerHasDictionary()) GTEST_SKIP() << "built without WordNet";
  }
  testing::TestDatabase t;
  MemoryAnalysisCache analyses;
  WriteState writes;
  db::Connection& db() { return t.db(); }
};

TEST_F(MemoryLinks, BodyWithoutNounsOrNamesGetsNoLinkAtAll) {
  add(db(), "old", "Run it now, please.");
  for (const std::string body : {"", "Run it now, please.", "Is it ok? Yes."}) {
    SCOPED_TRACE(body);
    add(db(), "new" + std::to_string(body.size()), body);
    createMemoryLinks("new" + std::to_string(body.size()), body, db(), analyses);
  }
  EXPECT_EQ(linkCount(db()), 0);
}

TEST_F(MemoryLinks, SharedPhrasesAndNames) {
  struct Case {
    std::string other;
    std::map<std::string, double> want;  // link type -> weight; temporal is always there
  };
  const std::string body =
      "The memory store keeps the config file and the build cache near GitHub.";
  const Case cases[] = {
      {"The memory store is slow.", {}},  // one shared phrase is not enough
      {"Check the config file and the memory store.", {{"semantic", 0.4}}},
      {"The build cache, the config file and the memory store.",
       {{"semantic", 0.6000000000000001}}},
      {"We mirror to Github nightly.", {{"entity", 0.3}}},  // one name, in another case
      // a phrase broken over lines is the same phrase
      {"Check the config\nfile and the memory\r\n\tstore.", {{"semantic", 0.4}}},
      // text past ASCII is searched whole, wherever its first such letter stands
      {"Check the config file, f\u00fcr sp\u00e4ter, and the memory store.", {{"semantic", 0.4}}},
      // a name is a noun as well: github is a shared phrase too
      {"The config file and the memory store live on GitHub.",
       {{"semantic", 0.6000000000000001}, {"entity", 0.3}}},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.other);
    testing::TestDatabase fresh;
    add(fresh.db(), "other", c.other);
    const std::string id = "new" + std::to_string(n++);
    add(fresh.db(), id, body);
    createMemoryLinks(id, body, fresh.db(), analyses);
    auto links = linksFrom(fresh.db(), id);
    EXPECT_EQ(links["temporal"], (std::map<std::string, double>{{"other", 0.5}}));
    links.erase("temporal");
    std::map<std::string, double> got;
    for (const auto& [type, targets] : links) {
      ASSERT_EQ(targets.size(), 1u);
      EXPECT_EQ(targets.begin()->first, "other");
      got[type] = targets.begin()->second;
    }
    EXPECT_EQ(got, c.want);
  }
}

TEST_F(MemoryLinks, WeightsAreCappedAtOne) {
  const std::string body = "Alice, Bob, Carol, Dave and Erin met in Paris.";
  add(db(), "other", "Erin, Dave, Carol, Bob and Alice left Paris.");
  add(db(), "new", body);
  createMemoryLinks("new", body, db(), analyses);
  EXPECT_EQ(linksFrom(db(), "new")["entity"]["other"], 1.0);
}

TEST_F(MemoryLinks, ColdAndDeletedMemoriesAreNeverTargets) {
  const std::string body = "The config file and the memory store live on GitHub.";
  add(db(), "cold", body + " Cold.", "cold");
  add(db(), "deleted", body + " Deleted.", "semantic", minutes(0), /*deleted=*/true);
  add(db(), "live", body + " Live.");
  add(db(), "new", body);
  createMemoryLinks("new", body, db(), analyses);
  auto links = linksFrom(db(), "new");
  for (const char* type : {"semantic", "entity", "temporal"}) {
    SCOPED_TRACE(type);
    EXPECT_EQ(links[type].size(), 1u);
    EXPECT_TRUE(links[type].count("live"));
  }
}

TEST_F(MemoryLinks, OnlyTheNewest500AreCandidatesButTemporalLinksReachFurther) {
  const std::string body = "The config file and the memory store.";
  // The oldest candidate was written ten minutes ago; 500 newer ones carry a creation time two
  // hours ahead, outside the temporal window.
  add(db(), "oldest", body + " Oldest.", "episodic", minutes(10));
  for (int i = 0; i < 500; ++i) {
    add(db(), "newer" + std::to_string(i), "Lunch " + std::to_string(i) + ".", "episodic",
        minutes(-120 - i));
  }
  add(db(), "new", body);
  createMemoryLinks("new", body, db(), analyses);
  auto links = linksFrom(db(), "new");
  EXPECT_TRUE(links["semantic"].empty());
  EXPECT_EQ(links["temporal"], (std::map<std::string, double>{{"oldest", 0.5}}));
}

TEST_F(MemoryLinks, TemporalWindowIsOneHourEitherSide) {
  const std::string body = "The deployment pipeline.";
  add(db(), "hour-and-a-bit-ago", "Unrelated lunch menu.", "episodic", minutes(61));
  add(db(), "half-hour-ago", "Unrelated lunch menu.", "episodic", minutes(30));
  add(db(), "soon", "Unrelated lunch menu.", "episodic", minutes(-30));
  add(db(), "later", "Unrelated lunch menu.", "episodic", minutes(-61));
  add(db(), "new", body);
  createMemoryLinks("new", body, db(), analyses);
  EXPECT_EQ(linksFrom(db(), "new")["temporal"],
            (std::map<std::string, double>{{"half-hour-ago", 0.5}, {"soon", 0.5}}));
}

TEST_F(MemoryLinks, TemporalLinksAreBounded) {
  for (int i = 0; i < 30; ++i) {
    std::string id = "m";  // appended, which GCC 12's -Wrestrict does not misread
    id += std::to_string(i);
    add(db(), id, "Lunch " + std::to_string(i));
  }
  add(db(), "new", "The deployment pipeline.");
  createMemoryLinks("new", "The deployment pipeline.", db(), analyses);
  EXPECT_EQ(linksFrom(db(), "new")["temporal"].size(), static_cast<std::size_t>(kMaxTemporalLinks));
}

TEST_F(MemoryLinks, TemporalLinksGoToTheNearestInTime) {
  // Written out of time order, so the order rows come in cannot stand in for nearness.
  std::map<std::string, double> want;
  for (int i : {29, 3, 17, 0,  25, 11, 8,  21, 14, 5,  27, 1, 19, 9,  23,
                12, 2, 28, 16, 6,  26, 10, 20, 4,  24, 13, 7, 22, 15, 18}) {
    const std::string id = "m" + std::to_string(i);
    // Two minutes apart, one of them a minute ahead (a clock that ran fast).
    add(db(), id, "Lunch " + std::to_string(i), "episodic", minutes(i == 1 ? -1 : 2 * i));
    if (i < kMaxTemporalLinks) want[id] = 0.5;
  }
  add(db(), "new", "The deployment pipeline.");
  createMemoryLinks("new", "The deployment pipeline.", db(), analyses);
  EXPECT_EQ(linksFrom(db(), "new")["temporal"], want);
}

TEST_F(MemoryLinks, ABurstOfWritesMakesNoTemporalHub) {
  for (int i = 0; i < 100; ++i) {
    writeMemory(db(), writes,
                MemoryWrite{.body = "Build note " + std::to_string(i) +
                                    ": the release pipeline ran on the staging cluster."});
  }
  const auto most = db().scalar(
      "SELECT max(n) FROM (SELECT count(*) AS n FROM memory_links WHERE link_type = 'temporal' "
      "GROUP BY dst_id)");
  ASSERT_TRUE(most && db::integerOf(*most));
  EXPECT_LE(*db::integerOf(*most), kMaxTemporalLinks);
  EXPECT_GE(*db::integerOf(*most), kMaxTemporalLinks - 1);  // the linking itself still happens
}

// Two hundred notes naming one person, as a long conversation's turns do: without bounds the
// later ones link to every earlier one. Each still gets links of every type, to its nearest.
TEST_F(MemoryLinks, LinksToMemoriesSharingANameAreBounded) {
  const int count = 200;
  for (int i = 0; i < count; ++i) {
    const std::string id = "m" + std::to_string(i);
    const std::string body =
        "Maria checked the build cache and the config file for run " + std::to_string(i) + ".";
    // A minute apart, the latest written last, so "nearest" is "written just before".
    add(db(), id, body, "episodic", minutes(count - i));
    createMemoryLinks(id, body, db(), analyses);
  }
  auto most = [&](const char* grouping) {
    return *db::integerOf(*db().scalar(std::string("SELECT max(n) FROM (SELECT count(*) AS n FROM "
                                                   "memory_links GROUP BY ") +
                                       grouping + ")"));
  };
  EXPECT_LE(most("src_id"), kMaxSemanticLinks + kMaxEntityLinks + kMaxTemporalLinks);
  EXPECT_LE(most("src_id, link_type"),
            std::max({kMaxSemanticLinks, kMaxEntityLinks, kMaxTemporalLinks}));
  EXPECT_LE(most("dst_id, link_type"), kMaxIncomingLinksPerType);

  auto last = linksFrom(db(), "m199");
  std::map<std::string, double> nearest;
  for (int i = 199 - kMaxEntityLinks; i < 199; ++i) nearest["m" + std::to_string(i)] = 0.3;
  EXPECT_EQ(last["entity"], nearest);
  EXPECT_EQ(last["semantic"].size(), static_cast<std::size_t>(kMaxSemanticLinks));
  EXPECT_EQ(last["temporal"].size(), static_cast<std::size_t>(kMaxTemporalLinks));
  EXPECT_EQ(last["semantic"].count("m" + std::to_string(198 - kMaxSemanticLinks)), 0u);
}

// A memory dated ahead (a clock that ran fast) comes first among every later write's candidates;
// it must not collect a link from each of them.
TEST_F(MemoryLinks, NoMemoryCollectsLinksWithoutBound) {
  add(db(), "ahead", "Maria reviewed the release notes.", "episodic", minutes(-24 * 60));
  for (int i = 0; i < 60; ++i) {
    const std::string id = "m" + std::to_string(i);
    const std::string body = "Maria and the lunch " + std::to_string(i) + ".";
    add(db(), id, body, "episodic", minutes(3 * 60 + i));  // older each time: "ahead" stays first
    createMemoryLinks(id, body, db(), analyses);
  }
  EXPECT_EQ(
      *db::integerOf(*db().scalar(
          "SELECT count(*) FROM memory_links WHERE dst_id = 'ahead' AND link_type = 'entity'")),
      kMaxIncomingLinksPerType);
}

TEST_F(MemoryLinks, LinkingTwiceAddsNothingAndKeepsWeights) {
  const std::string body = "The config file and the memory store live on GitHub.";
  add(db(), "other", "Check the config file and the memory store.");
  add(db(), "new", body);
  createMemoryLinks("new", body, db(), analyses);
  db().run("UPDATE memory_links SET weight = 0.123 WHERE link_type = 'semantic'");
  const auto before = linkCount(db());
  createMemoryLinks("new", body, db(), analyses);
  EXPECT_EQ(linkCount(db()), before);
  EXPECT_EQ(linksFrom(db(), "new")["semantic"]["other"], 0.123);
}

TEST_F(MemoryLinks, AReusedIdentifierIsAnalysedAfresh) {
  const std::string body = "Check the config file and the memory store.";
  add(db(), "other", "The config file and the memory store.");
  add(db(), "first", body);
  createMemoryLinks("first", body, db(), analyses);
  EXPECT_EQ(linksFrom(db(), "first")["semantic"].size(), 1u);
  // Outside the write path a row's body may change under the same identifier; the cache of
  // analyses must not hand back the old one.
  db().run("UPDATE memories SET body = 'A lunch menu and a coffee machine.' WHERE id = 'other'");
  add(db(), "second", body + " Again.");
  createMemoryLinks("second", body + " Again.", db(), analyses);
  EXPECT_FALSE(linksFrom(db(), "second")["semantic"].count("other"));
}

TEST_F(MemoryLinks, CandidateQueryFailureIsThrown) {
  db::Connection bare = db::Connection::openInMemory();
  EXPECT_THROW(createMemoryLinks("m", "The memory store.", bare, analyses), db::Error);
  EXPECT_THROW(linkContradictions("m", "The memory store.", std::nullopt, bare), db::Error);
}

TEST_F(MemoryLinks, ContradictionsLinkACorrectionToMatchingRules) {
  add(db(), "rule-a", "Indent with tabs in the Makefile.", "semantic", minutes(5), false, "rule",
      "/p/a");
  add(db(), "rule-b", "Indentation uses tabs everywhere.", "semantic", minutes(5), false, "rule",
      "/p/b");
  add(db(), "rule-none", "Tabs are for the Makefile only.", "semantic", minutes(5), false, "rule");
  add(db(), "episodic-rule", "Tabs in the Makefile.", "episodic", minutes(5), false, "rule",
      "/p/a");
  add(db(), "fact", "Tabs in the Makefile.", "semantic", minutes(5), false, "fact", "/p/a");
  add(db(), "gone", "Tabs in the Makefile.", "semantic", minutes(5), true, "rule", "/p/a");
  const std::string correction = "Never use tabs: the Makefile is the only exception.";
  add(db(), "corr", correction, "semantic", minutes(0), false, "correction", "/p/a");

  linkContradictions("corr", correction, std::string("/p/a"), db());
  EXPECT_EQ(linksFrom(db(), "corr")["contradicts"],
            (std::map<std::string, double>{{"rule-a", 1.0}}));

  linkContradictions("corr", correction, std::nullopt, db());
  EXPECT_EQ(linksFrom(db(), "corr")["contradicts"],
            (std::map<std::string, double>{{"rule-a", 1.0}, {"rule-b", 1.0}, {"rule-none", 1.0}}));
}

TEST_F(MemoryLinks, ACorrectionOfOnlyShortOrStopWordsMatchesNoRule) {
  add(db(), "rule", "It is to be or not to be.", "semantic", minutes(5), false, "rule");
  linkContradictions("corr", "It is to be, or not to be!", std::nullopt, db());
  EXPECT_EQ(linkCount(db()), 0);
}

TEST(BuildFTSOrQuery, QuotesSignificantWords) {
  struct Case {
    std::string text;
    std::string want;
  };
  const Case cases[] = {
      {"", R"("*")"},
      {"a an to it is ab", R"("*")"},
      {"how do I fix foo-bar?", R"("how" OR "fix" OR "foo" OR "bar")"},
      {"Use THE Api, the API", R"("Use" OR "Api" OR "API")"},
      {"snake_case naïve 日本語 don't", R"("snake_case" OR "naïve" OR "日本語" OR "don")"},
      {"\"quoted\" (parens) *star*", R"("quoted" OR "parens" OR "star")"},
      {"These THOSE those", R"("*")"},
      // A combining accent belongs to its word; so do numbers beyond the decimal digits.
      {"na\u0303o 42\u00b2 x\u00b2", "\"na\u0303o\" OR \"42\u00b2\""},
      {"a AND b OR NOT c NEAR(x) col:val*", R"("NEAR" OR "col" OR "val")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(buildFTSOrQuery(c.text), c.want);
  }
}

}  // namespace
}  // namespace nodrel::store
