#include "codeintel/fragility.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>

#include "codeintel/build_failures.h"
#include "codeintel/co_changes.h"
#include "codeintel/code_summary.h"
#include "platform/time.h"
#include "tests/codeintel/code_rows.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

using testing::addBuildFailure;
using testing::addCoChange;
using testing::addCodeFile;
using testing::addEdge;
using testing::addSymbol;

const std::string kProject = "/work/project";

std::optional<double> scoreOf(db::Connection& db, const std::string& id) {
  auto value = db.scalar("SELECT fragility_score FROM code_files WHERE id = ?", {db::text(id)});
  return value ? db::realOf(*value) : std::nullopt;
}

std::string timestampDaysAgo(int days, int extraSeconds = 0) {
  return platform::sharedTimestampFormatter().format(
      platform::now() - std::chrono::hours(24 * days) + std::chrono::seconds(extraSeconds));
}

TEST(Fragility, ProjectWithoutFilesWritesNothing) {
  testing::TestDatabase t;
  EXPECT_NO_THROW(recomputeFragilityScores(kProject, t.db()));
  EXPECT_TRUE(fetchTopFragileFiles(kProject, 3, t.db()).empty());
}

TEST(Fragility, FilesWithoutHistoryScoreZero) {
  testing::TestDatabase t;
  auto a = addCodeFile(t.db(), kProject, "a.ts");
  auto b = addCodeFile(t.db(), kProject, "b.ts");
  recomputeFragilityScores(kProject, t.db());
  EXPECT_EQ(scoreOf(t.db(), a), 0.0);
  EXPECT_EQ(scoreOf(t.db(), b), 0.0);
}

TEST(Fragility, MixesInboundCoChangeAndRecentBuildFailures) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto core = addCodeFile(db, kProject, "src/core.ts");
  auto user = addCodeFile(db, kProject, "src/user.ts");
  auto other = addCodeFile(db, kProject, "src/other.ts");
  addSymbol(db, core, "Core");
  addSymbol(db, user, "User");
  addEdge(db, user, "Core");
  addEdge(db, other, "Core");
  addEdge(db, other, "User");
  addEdge(db, core, "Core");  // an edge to a file's own symbol does not count
  addCoChange(db, kProject, "src/core.ts", "src/user.ts", 4);
  addCoChange(db, kProject, "src/user.ts", "README.md", 2);

  // Without build failures the top file scores 0.9: 0.4 + 0.5.
  recomputeFragilityScores(kProject, db);
  // core: co 4 of max 6, inbound 2 of 2; user: co 6 of 6, inbound 1 of 2; other: nothing.
  EXPECT_DOUBLE_EQ(*scoreOf(db, core), 0.4 * 4.0 / 6.0 + 0.5);
  EXPECT_DOUBLE_EQ(*scoreOf(db, user), 0.4 + 0.25);
  EXPECT_EQ(scoreOf(db, other), 0.0);

  // Two recent reports (two distinct seconds) name core.ts in one; one report older than 30
  // days and one of another project are outside the window.
  addBuildFailure(db, kProject, timestampDaysAgo(1), "src/user.ts", "src/core.ts");
  addBuildFailure(db, kProject, timestampDaysAgo(1), "src/user.ts", "src/core.ts");
  addBuildFailure(db, kProject, timestampDaysAgo(2), "src/user.ts", "src/user.ts");
  addBuildFailure(db, kProject, timestampDaysAgo(31), "src/user.ts", "src/other.ts");
  addBuildFailure(db, "/elsewhere", timestampDaysAgo(1, 5), "x", "src/other.ts");
  recomputeFragilityScores(kProject, db);
  EXPECT_DOUBLE_EQ(*scoreOf(db, core), (0.4 * 4.0 / 6.0 + 0.5) + 0.1 * 0.5);
  EXPECT_DOUBLE_EQ(*scoreOf(db, user), (0.4 + 0.25) + 0.1 * 0.5);
  EXPECT_EQ(scoreOf(db, other), 0.0);

  auto top = fetchTopFragileFiles(kProject, 3, db);
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0].path, "src/core.ts");
  EXPECT_EQ(top[1].path, "src/user.ts");
  EXPECT_EQ(top[2].path, "src/other.ts");
}

TEST(Fragility, TopFileNamedInEveryRecentReportScoresOne) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto hub = addCodeFile(db, kProject, "hub.ts");
  auto leaf = addCodeFile(db, kProject, "leaf.ts");
  addSymbol(db, hub, "Hub");
  addEdge(db, leaf, "Hub");
  addCoChange(db, kProject, "hub.ts", "leaf.ts", 3);
  addBuildFailure(db, kProject, timestampDaysAgo(0), "leaf.ts", "hub.ts");
  addBuildFailure(db, kProject, timestampDaysAgo(3), "leaf.ts", "hub.ts");
  recomputeFragilityScores(kProject, db);
  EXPECT_DOUBLE_EQ(*scoreOf(db, hub), 1.0);
  EXPECT_DOUBLE_EQ(*scoreOf(db, leaf), 0.4);
}

TEST(Fragility, RecentBuildFailureSharesCountReportsToTheSecond) {
  testing::TestDatabase t;
  auto& db = t.db();
  // Four reports, two naming a.ts: its share is 0.5. Rows of one report share a timestamp.
  const auto r1 = timestampDaysAgo(1), r2 = timestampDaysAgo(2), r3 = timestampDaysAgo(3),
             r4 = timestampDaysAgo(4);
  addBuildFailure(db, kProject, r1, "t", "a.ts");
  addBuildFailure(db, kProject, r1, "t", "b.ts");
  addBuildFailure(db, kProject, r2, "t", "a.ts");
  addBuildFailure(db, kProject, r3, "t", "b.ts");
  addBuildFailure(db, kProject, r4, "t", "c.ts");
  auto shares = fetchRecentBuildFailureShares(kProject, db);
  EXPECT_DOUBLE_EQ(shares.at("a.ts"), 0.5);
  EXPECT_DOUBLE_EQ(shares.at("b.ts"), 0.5);
  EXPECT_DOUBLE_EQ(shares.at("c.ts"), 0.25);
  EXPECT_FALSE(shares.contains("d.ts"));
  EXPECT_TRUE(fetchRecentBuildFailureShares("/no/such/project", db).empty());
}

TEST(Fragility, CoChangeTotalsSumBothColumnsAndIncludeNonCodePaths) {
  testing::TestDatabase t;
  auto& db = t.db();
  addCoChange(db, kProject, "a", "b", 4);
  addCoChange(db, kProject, "b", "c", 2);
  // The project's pairs alone, then beside another project's (read another way).
  for (bool others : {false, true}) {
    SCOPED_TRACE(others);
    if (others) addCoChange(db, "/other", "a", "b", 100);
    auto totals = fetchCoChangeTotals(kProject, db);
    EXPECT_EQ(totals.size(), 3u);
    EXPECT_EQ(totals.at("a"), 4.0);
    EXPECT_EQ(totals.at("b"), 6.0);
    EXPECT_EQ(totals.at("c"), 2.0);
  }

  auto a = addCodeFile(db, kProject, "a");
  recomputeFragilityScores(kProject, db);
  EXPECT_DOUBLE_EQ(*scoreOf(db, a), 0.4 * 4.0 / 6.0);  // b, no code file, still sets the max
}

TEST(Fragility, InboundCountsEveryDeclaringFile) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto x = addCodeFile(db, kProject, "x.ts");
  auto y = addCodeFile(db, kProject, "y.ts");
  auto z = addCodeFile(db, kProject, "z.ts");
  addSymbol(db, y, "Shared");
  addSymbol(db, z, "Shared");
  addSymbol(db, x, "Own");
  addEdge(db, x, "Shared");
  addEdge(db, x, "Own");
  auto counts = fetchInboundCounts(kProject, db);
  EXPECT_EQ(counts.size(), 2u);
  EXPECT_EQ(counts.at(y), 1.0);
  EXPECT_EQ(counts.at(z), 1.0);

  addSymbol(db, z, "Shared");  // declared twice: each edge counts twice
  EXPECT_EQ(fetchInboundCounts(kProject, db).at(z), 2.0);
}

TEST(Fragility, InboundCountsEqualTheSymbolEdgeJoin) {
  testing::TestDatabase t;
  auto& db = t.db();
  // A tangle of files across two projects: names declared in several files, edges of every
  // kind, edges to a file's own names and from another project's files.
  std::vector<std::string> files;
  for (int i = 0; i < 12; ++i) {
    files.push_back(addCodeFile(db, i < 9 ? kProject : "/other", "f" + std::to_string(i) + ".ts"));
  }
  for (int i = 0; i < 40; ++i) {
    addSymbol(db, files[(i * 7) % 12], testing::numbered("N", i % 9));
    addEdge(db, files[(i * 5) % 12], testing::numbered("N", (i * 3) % 11),
            i % 2 ? "imports" : "calls");
  }
  const std::string join = R"sql(SELECT cs.file_id, CAST(COUNT(ce.id) AS REAL)
FROM code_symbols cs
JOIN code_edges ce ON ce.to_symbol = cs.name
JOIN code_files cf_edge ON cf_edge.id = ce.file_id
WHERE cf_edge.project = ?
  AND ce.file_id != cs.file_id
GROUP BY cs.file_id)sql";
  std::unordered_map<std::string, double> want;
  for (const auto& row : db.query(join, {db::text(kProject)})) {
    want[*db::textOf(row[0])] = *db::realOf(row[1]);
  }
  EXPECT_FALSE(want.empty());
  EXPECT_EQ(fetchInboundCounts(kProject, db), want);
}

// The summary's figures come from the rows the scores are computed from; they must be what
// joining the tables says, names stored as bytes included (they meet only the same bytes).
TEST(Fragility, SummaryFiguresEqualTheJoins) {
  testing::TestDatabase t;
  auto& db = t.db();
  std::vector<std::string> files;
  for (int i = 0; i < 14; ++i) {
    files.push_back(addCodeFile(db, i < 10 ? kProject : "/other", "f" + std::to_string(i) + ".ts"));
  }
  for (int i = 0; i < 60; ++i) {
    addSymbol(db, files[(i * 3) % 14], testing::numbered("N", i % 9));
    addEdge(db, files[(i * 5) % 14], testing::numbered("N", (i * 3) % 11),
            i % 2 ? "imports" : "calls");
  }
  for (int i : {0, 3}) {
    db.run("INSERT INTO code_symbols (file_id, name, kind) VALUES (?, X'4e31', 'class')",
           {db::text(files[i])});
  }
  for (int i : {1, 2, 3}) {
    db.run(
        "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) VALUES "
        "('from', X'4e31', 'calls', ?)",
        {db::text(files[i])});
  }
  const auto count = [&](const std::string& sql) {
    return *db::integerOf(*db.scalar(sql, {db::text(kProject)}));
  };
  CodeSummary want;
  want.totalFiles = count("SELECT COUNT(*) FROM code_files WHERE project = ?");
  want.totalSymbols = count(
      "SELECT COUNT(*) FROM code_files cf JOIN code_symbols cs ON cs.file_id = cf.id "
      "WHERE cf.project = ?");
  want.totalEdges = count(
      "SELECT COUNT(*) FROM code_files cf JOIN code_edges ce ON ce.file_id = cf.id "
      "WHERE cf.project = ?");
  for (const auto& row : db.query(R"sql(SELECT cf.relative_path
FROM code_files cf
JOIN code_symbols cs ON cs.file_id = cf.id
JOIN code_edges ce ON ce.to_symbol = cs.name
JOIN code_files ef ON ef.id = ce.file_id
WHERE cf.project = ?1 AND ef.project = ?1 AND ce.file_id != cs.file_id
GROUP BY cf.rowid
ORDER BY COUNT(*) DESC, cf.rowid
LIMIT 5)sql",
                                  {db::text(kProject)})) {
    want.topConnectedFiles.push_back(*db::textOf(row[0]));
  }
  want.lastIngestion = "2026-01-01T00:00:00.000+0000";
  ASSERT_EQ(want.topConnectedFiles.size(), 5u);
  EXPECT_EQ(computeCodeSummary(kProject, db), want);
}

TEST(Fragility, TopFilesLeaveOutUnscoredAndOtherProjects) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto a = addCodeFile(db, kProject, "a.ts");
  auto b = addCodeFile(db, kProject, "b.ts");
  addCodeFile(db, "/other", "c.ts");
  db.run("UPDATE code_files SET fragility_score = 0.25 WHERE id = ?", {db::text(a)});
  db.run("UPDATE code_files SET fragility_score = 0.5 WHERE id = ?", {db::text(b)});
  auto top = fetchTopFragileFiles(kProject, 3, db);
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(top[0], (FragileFileScore{"b.ts", 0.5}));
  EXPECT_EQ(top[1], (FragileFileScore{"a.ts", 0.25}));
  EXPECT_TRUE(fetchTopFragileFiles("/none", 3, db).empty());
}

}  // namespace
}  // namespace nodrel::codeintel
