#include "codeintel/impact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>

#include "codeintel/code_generation.h"
#include "codeintel/impact_edges.h"
#include "db/savepoint.h"
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

std::vector<std::string> sorted(std::vector<std::string> v) {
  std::sort(v.begin(), v.end());
  return v;
}

std::string paddedPath(const std::string& prefix, int i, const std::string& extension = ".ts") {
  std::string n = std::to_string(i);
  return prefix + std::string(3 - std::min<std::size_t>(3, n.size()), '0') + n + extension;
}

// The files of the tangled graphs below: one Go package, whose files see each other's names.
std::string tangledPath(int i) { return paddedPath("f", i, ".go"); }

// `user` imports `declarer` and uses its name.
void uses(db::Connection& db, const std::string& user, const std::string& name,
          const std::string& declarer) {
  addEdge(db, user, name);
  addEdge(db, user, "file:" + declarer, "references");
}

// core.ts declares Core; `direct` files use Core and each declares its own name; `transitive`
// files each use one of those names (round robin).
void buildFan(db::Connection& db, int direct, int transitive) {
  db::Savepoint savepoint(db);
  auto core = addCodeFile(db, kProject, "core.ts");
  addSymbol(db, core, "Core");
  std::vector<std::string> directIDs;
  for (int i = 0; i < direct; ++i) {
    auto id = addCodeFile(db, kProject, paddedPath("direct/d", i));
    addSymbol(db, id, testing::numbered("D", i));
    uses(db, id, "Core", core);
    directIDs.push_back(id);
  }
  for (int i = 0; i < transitive; ++i) {
    auto id = addCodeFile(db, kProject, paddedPath("transitive/t", i));
    const int used = i % std::max(direct, 1);
    uses(db, id, testing::numbered("D", used), directIDs.at(used));
  }
  savepoint.commit();
}

TEST(Impact, BlastRadiusRiskLevelsAndTheCutAtTwentyFive) {
  struct Case {
    int direct, transitive;
    RiskLevel risk;
    std::size_t listedDirect, listedTransitive;
    std::int64_t truncated;
  };
  const Case cases[] = {
      {5, 0, RiskLevel::Low, 5, 0, 0},      {6, 0, RiskLevel::Medium, 6, 0, 0},
      {15, 0, RiskLevel::Medium, 15, 0, 0}, {16, 0, RiskLevel::High, 16, 0, 0},
      {10, 15, RiskLevel::High, 10, 15, 0}, {10, 16, RiskLevel::High, 10, 15, 1},
      {30, 4, RiskLevel::High, 25, 0, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.direct) + " direct, " + std::to_string(c.transitive) +
                 " transitive");
    testing::TestDatabase t;
    buildFan(t.db(), c.direct, c.transitive);
    auto report = analyzeImpact(kProject, {"core.ts"}, t.db());
    EXPECT_EQ(report.changedFiles, std::vector<std::string>{"core.ts"});
    EXPECT_EQ(report.blastRadius, c.direct + c.transitive);
    EXPECT_EQ(report.riskLevel, c.risk);
    ASSERT_EQ(report.directDependents.size(), c.listedDirect);
    EXPECT_EQ(report.transitiveDependents.size(), c.listedTransitive);
    EXPECT_EQ(report.truncatedCount, c.truncated);
    EXPECT_TRUE(std::is_sorted(report.directDependents.begin(), report.directDependents.end()));
    EXPECT_EQ(report.directDependents.front(), "direct/d000.ts");
  }
}

TEST(Impact, MarkdownOfACutReport) {
  testing::TestDatabase t;
  buildFan(t.db(), 10, 16);
  auto report = analyzeImpact(kProject, {"core.ts"}, t.db());
  std::string want =
      "## Impact Analysis\n\n**Changed files:** core.ts\n"
      "**Blast radius:** 26+ files (showing top 25, 1 omitted) | **Risk:** high\n\n"
      "### Direct Dependents (10 files)\n";
  for (int i = 0; i < 10; ++i) want += "- " + paddedPath("direct/d", i) + "\n";
  want += "\n### Transitive Dependents (15 files)\n";
  for (int i = 0; i < 15; ++i) want += "- " + paddedPath("transitive/t", i) + "\n";
  want += "\n*1 additional file(s) not shown — blast radius exceeds display limit.*\n";
  EXPECT_EQ(impactMarkdown(report), want);
}

TEST(Impact, DependentsStopAtTheThirdRemoveAndSkipChangedFiles) {
  testing::TestDatabase t;
  auto& db = t.db();
  // a <- b <- c <- d <- e, and b also uses x, which is changed too.
  std::vector<std::string> names = {"a", "b", "c", "d", "e"};
  std::vector<std::string> ids;
  for (const auto& n : names) {
    ids.push_back(addCodeFile(db, kProject, n + ".ts"));
    addSymbol(db, ids.back(), "S" + n);
  }
  for (std::size_t i = 1; i < names.size(); ++i) uses(db, ids[i], "S" + names[i - 1], ids[i - 1]);
  auto x = addCodeFile(db, kProject, "x.ts");
  addSymbol(db, x, "Sx");
  uses(db, x, "Sa", ids[0]);  // x depends on a, but is changed itself

  auto report = analyzeImpact(kProject, {"a.ts", "x.ts"}, db);
  EXPECT_EQ(sorted(report.changedFiles), (std::vector<std::string>{"a.ts", "x.ts"}));
  EXPECT_EQ(report.directDependents, std::vector<std::string>{"b.ts"});
  EXPECT_EQ(report.transitiveDependents, (std::vector<std::string>{"c.ts", "d.ts"}));
  EXPECT_EQ(report.blastRadius, 3);
}

// A name is a dependency only where the using file can see its declaration: through an
// import of the declaring file, or by sharing its Go package, Kotlin package or Swift module.
TEST(Impact, NamesCountOnlyWhereTheUserCanSeeTheDeclaration) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto errors = addCodeFile(db, kProject, "errors/errors.go");
  addSymbol(db, errors, "New");
  auto samePackage = addCodeFile(db, kProject, "errors/wrap.go");
  addEdge(db, samePackage, "New", "calls");
  auto importer = addCodeFile(db, kProject, "net/dial.go");
  uses(db, importer, "New", errors);
  auto stranger = addCodeFile(db, kProject, "image/png.go");  // declares its own New
  addSymbol(db, stranger, "New");
  addEdge(db, stranger, "New", "calls");
  auto script = addCodeFile(db, kProject, "errors/new.ts");  // same folder, no import
  addEdge(db, script, "New", "calls");
  auto swiftModel = addCodeFile(db, kProject, "Sources/App/Model.swift");
  addSymbol(db, swiftModel, "Model");
  auto swiftView = addCodeFile(db, kProject, "Sources/App/Views/View.swift");
  addEdge(db, swiftView, "Model", "calls");
  auto otherModule = addCodeFile(db, kProject, "Sources/Kit/Model+Kit.swift");
  addEdge(db, otherModule, "Model", "calls");

  auto report = analyzeImpact(kProject, {"errors/errors.go"}, db);
  EXPECT_EQ(report.directDependents, (std::vector<std::string>{"errors/wrap.go", "net/dial.go"}));
  EXPECT_EQ(report.blastRadius, 2);
  report = analyzeImpact(kProject, {"Sources/App/Model.swift"}, db);
  EXPECT_EQ(report.directDependents, std::vector<std::string>{"Sources/App/Views/View.swift"});
}

// Of more than 25 direct dependents, those that import the file and use most of its names
// are listed, in path order; the alphabetically first ones are not.
TEST(Impact, TheStrongestTwentyFiveDependentsAreListed) {
  testing::TestDatabase t;
  auto& db = t.db();
  db::Savepoint savepoint(db);
  auto core = addCodeFile(db, kProject, "core.ts");
  for (const char* name : {"A", "B", "C"}) addSymbol(db, core, name);
  auto sameFolder = addCodeFile(db, kProject, "pkg/core.go");
  addSymbol(db, sameFolder, "Go");
  for (int i = 0; i < 30; ++i) {
    // a000-a004 import core.ts and use nothing of it; the rest use one name (b), or all three.
    const std::string prefix = i < 5 ? "a" : i < 15 ? "b" : "c";
    auto id = addCodeFile(db, kProject, paddedPath(prefix, i));
    addEdge(db, id, "file:" + core, "references");
    const int names = i < 5 ? 0 : i < 15 ? 1 : 3;
    for (int n = 0; n < names; ++n)
      addEdge(db, id, std::string(1, static_cast<char>('A' + n)), "calls");
  }
  savepoint.commit();
  auto report = analyzeImpact(kProject, {"core.ts"}, db);
  EXPECT_EQ(report.blastRadius, 30);
  EXPECT_EQ(report.truncatedCount, 5);
  ASSERT_EQ(report.directDependents.size(), 25u);
  EXPECT_TRUE(std::is_sorted(report.directDependents.begin(), report.directDependents.end()));
  EXPECT_EQ(report.directDependents.front(), "b005.ts");
  EXPECT_EQ(report.directDependents.back(), "c029.ts");
}

// At most ten warnings, the files with most inbound dependencies first.
TEST(Impact, TheTenMostDependedOnFilesAreWarnedAbout) {
  testing::TestDatabase t;
  auto& db = t.db();
  db::Savepoint savepoint(db);
  auto core = addCodeFile(db, kProject, "core.ts");
  addSymbol(db, core, "Core");
  for (int hub = 0; hub < 12; ++hub) {
    auto id = addCodeFile(db, kProject, paddedPath("hub/h", hub));
    const std::string name = testing::numbered("Hub", hub);
    addSymbol(db, id, name);
    uses(db, id, "Core", core);
    for (int i = 0; i < 21 + hub; ++i)
      addEdge(db, addCodeFile(db, kProject, paddedPath(name + "/u", i)), name);
  }
  savepoint.commit();
  auto report = analyzeImpact(kProject, {"core.ts"}, db);
  ASSERT_EQ(report.highImpactWarnings.size(), 10u);
  EXPECT_EQ(report.highImpactWarnings.front(),
            "hub/h011.ts has 32 inbound dependencies — high-impact file, review carefully");
  EXPECT_EQ(report.highImpactWarnings.back(),
            "hub/h002.ts has 23 inbound dependencies — high-impact file, review carefully");
}

TEST(Impact, ReferenceEdgesFromImportsCountAsDependencies) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto util = addCodeFile(db, kProject, "src/util.ts");
  auto app = addCodeFile(db, kProject, "src/app.ts");
  addEdge(db, app, "file:" + util, "references");
  auto report = analyzeImpact(kProject, {"src/util.ts"}, db);
  EXPECT_EQ(report.directDependents, std::vector<std::string>{"src/app.ts"});
}

TEST(Impact, ChangedPathsResolveExactlyThenBySuffixThenByFileName) {
  testing::TestDatabase t;
  auto& db = t.db();
  for (const char* path : {"src/a.ts", "lib/src/a.ts", "data.ts", "x/data.ts", "docs/read_me.md",
                           "docs/readXme.md", "50%/off.ts"}) {
    addCodeFile(db, kProject, path);
  }
  addCodeFile(db, "/work/other", "src/a.ts");
  struct Case {
    std::string path;
    std::vector<std::string> want;
  };
  const Case cases[] = {
      {"src/a.ts", {"src/a.ts"}},
      {"./src/a.ts", {"src/a.ts"}},
      {"/work/project/src/a.ts", {"src/a.ts"}},
      {"a.ts", {"lib/src/a.ts", "src/a.ts"}},
      {"other/a.ts", {"lib/src/a.ts", "src/a.ts"}},
      {"ata.ts", {}},
      {"", {}},
      {"/", {}},
      {"/work/project", {}},
      {"read_me.md", {"docs/read_me.md"}},
      {"%off.ts", {}},
      {"50%/off.ts", {"50%/off.ts"}},
      {"/elsewhere/data.ts", {"data.ts", "x/data.ts"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("path \"" + c.path + "\"");
    auto report = analyzeImpact(kProject, {c.path}, db);
    EXPECT_EQ(sorted(report.changedFiles), c.want);
  }
  // The same file given twice is one changed file; the project path is normalised.
  auto report = analyzeImpact("/work/./project/", {"src/a.ts", "/work/project/src/a.ts"}, db);
  EXPECT_EQ(report.changedFiles, std::vector<std::string>{"src/a.ts"});
}

TEST(Impact, HighImpactWarningFromTwentyOneInboundEdges) {
  for (int inbound : {20, 21}) {
    SCOPED_TRACE(inbound);
    testing::TestDatabase t;
    auto& db = t.db();
    db::Savepoint savepoint(db);
    auto core = addCodeFile(db, kProject, "core.ts");
    addSymbol(db, core, "Core");
    auto hub = addCodeFile(db, kProject, "hub.ts");
    addSymbol(db, hub, "Hub");
    addSymbol(db, hub, "Hub");  // declared twice: each edge still counts once
    uses(db, hub, "Core", core);
    addEdge(db, hub, "Hub");  // its own edge does not count
    for (int i = 0; i < inbound; ++i)
      addEdge(db, addCodeFile(db, kProject, paddedPath("u", i)), "Hub");
    savepoint.commit();
    auto report = analyzeImpact(kProject, {"core.ts"}, db);
    if (inbound == 20) {
      EXPECT_TRUE(report.highImpactWarnings.empty());
    } else {
      EXPECT_EQ(report.highImpactWarnings,
                std::vector<std::string>{
                    "hub.ts has 21 inbound dependencies — high-impact file, review carefully"});
    }
  }
}

TEST(Impact, CoChangePartnersTopFragileFilesAndMergedPredictions) {
  testing::TestDatabase t;
  auto& db = t.db();
  auto a = addCodeFile(db, kProject, "a.ts");
  auto b = addCodeFile(db, kProject, "b.ts");
  db.run("UPDATE code_files SET fragility_score = 0.445 WHERE id = ?", {db::text(a)});
  db.run("UPDATE code_files SET fragility_score = 0.1 WHERE id = ?", {db::text(b)});
  addCoChange(db, kProject, "a.ts", "b.ts", 4);  // b is changed itself
  addCoChange(db, kProject, "a.ts", "docs.md", 4);
  addCoChange(db, kProject, "a.ts", "three.md", 3);
  addCoChange(db, kProject, "ci.yml", "b.ts", 9);
  // Both changed files predict p; b's higher score wins.
  for (int i = 0; i < 3; ++i)
    addBuildFailure(db, kProject, "2026-01-01T00:00:00.000+0000", "b.ts", "p.ts");
  // a's co-change rate with p is 33 of 44: 0.30000000000000004; b's build rate 1.0: 0.35.
  addCoChange(db, kProject, "a.ts", "p.ts", 33);

  auto report = analyzeImpact(kProject, {"a.ts", "b.ts"}, db);
  // Most often changed together first.
  EXPECT_EQ(report.fragileFiles,
            (std::vector<std::string>{"p.ts", "ci.yml", "docs.md", "three.md"}));
  EXPECT_EQ(report.topFragileFiles,
            (std::vector<FragileFileScore>{{"a.ts", 0.445}, {"b.ts", 0.1}}));
  EXPECT_EQ(
      report.predictions,
      (std::vector<Prediction>{{"p.ts", 0.35, "caused build errors 100% of the time", 0, 3, 0}}));
}

TEST(Impact, EvenOneSharedCommitMakesAPartnerButOnlyTheTenStrongestAreListed) {
  testing::TestDatabase t;
  auto& db = t.db();
  addCodeFile(db, kProject, "core.go");
  addCoChange(db, kProject, "core.go", "once.go", 1);
  EXPECT_EQ(analyzeImpact(kProject, {"core.go"}, db).fragileFiles,
            (std::vector<std::string>{"once.go"}));

  // Counts 1..12, given in an order that is neither by count nor by name.
  for (int count : {7, 1, 12, 3, 9, 5, 11, 2, 8, 10, 4, 6}) {
    addCoChange(db, kProject, "core.go", "p" + std::to_string(100 + count) + ".go", count);
  }
  std::vector<std::string> strongest;
  for (int count = 12; count >= 3; --count) {
    strongest.push_back("p" + std::to_string(100 + count) + ".go");
  }
  EXPECT_EQ(analyzeImpact(kProject, {"core.go"}, db).fragileFiles, strongest);

  // A changed file that is not code has its history too, asked by either form of its path.
  addCoChange(db, kProject, "docs/guide.md", "core.go", 2);
  for (const std::string& given : {std::string("docs/guide.md"), kProject + "/docs/guide.md"}) {
    const auto report = analyzeImpact(kProject, {given}, db);
    EXPECT_TRUE(report.changedFiles.empty());
    EXPECT_EQ(report.fragileFiles, (std::vector<std::string>{"core.go"})) << given;
  }
}

TEST(Impact, MarkdownOfEverySection) {
  ImpactReport report;
  report.changedFiles = {"a.ts", "b.ts"};
  report.directDependents = {"c.ts"};
  report.transitiveDependents = {"d.ts", "e.ts"};
  report.fragileFiles = {"docs.md"};
  report.blastRadius = 3;
  report.riskLevel = RiskLevel::Low;
  report.highImpactWarnings = {
      "c.ts has 30 inbound dependencies — high-impact file, review carefully"};
  report.topFragileFiles = {{"a.ts", 0.445}, {"z.ts", 0.0}};
  report.predictions = {{"p.ts", 0.375, "co-changed in 50% of correlated commits", 1, 1, 0}};
  EXPECT_EQ(impactMarkdown(report),
            "## Impact Analysis\n"
            "\n"
            "**Changed files:** a.ts, b.ts\n"
            "**Blast radius:** 3 files | **Risk:** low\n"
            "\n"
            "### High-Impact Warnings\n"
            "- c.ts has 30 inbound dependencies — high-impact file, review carefully\n"
            "\n"
            "### Direct Dependents (1 files)\n"
            "- c.ts\n"
            "\n"
            "### Transitive Dependents (2 files)\n"
            "- d.ts\n"
            "- e.ts\n"
            "\n"
            "### Historically Fragile Files\n"
            "- docs.md — frequently co-changes, check carefully\n"
            "\n"
            "### Most Fragile Files in Project\n"
            "- a.ts — fragility 45%\n"
            "- z.ts — fragility 0%\n"
            "\n"
            "### Predictive Risk (Phase F.3)\n"
            "- p.ts — score 38% — co-changed in 50% of correlated commits\n");
  EXPECT_EQ(
      impactMarkdown(ImpactReport{}),
      "## Impact Analysis\n\n**Changed files:** \n**Blast radius:** 0 files | **Risk:** low\n");
}

TEST(Impact, ListsBeyondSQLiteParameterLimitStillAnalyse) {
  testing::TestDatabase t;
  auto& db = t.db();
  // More dependents than SQLite accepts parameters in one statement (32,766).
  constexpr std::int64_t kDependents = 40'000;
  auto core = addCodeFile(db, kProject, "core.ts");
  addSymbol(db, core, "Core");
  const std::string numbers =
      "WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < ? - 1) ";
  db.run(numbers +
             "INSERT INTO code_files (id, project, relative_path, language, content_hash, "
             "last_parsed) SELECT 'dep' || i, ?, 'dep/' || i || '.ts', 'typescript', 'h', 't' "
             "FROM n",
         {kDependents, db::text(kProject)});
  db.run(numbers +
             "INSERT INTO code_symbols (file_id, name, kind, line_start, line_end) "
             "SELECT 'dep' || i, 'Dep' || i, 'class', 1, 1 FROM n",
         {kDependents});
  db.run(numbers +
             "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
             "SELECT 'x', 'Core', 'imports', 'dep' || i FROM n",
         {kDependents});
  db.run(numbers +
             "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
             "SELECT 'x', ?, 'references', 'dep' || i FROM n",
         {kDependents, db::text("file:" + core)});
  auto leaf = addCodeFile(db, kProject, "leaf.ts");
  uses(db, leaf, testing::numbered("Dep", kDependents - 1), "dep39999");

  auto report = analyzeImpact(kProject, {"core.ts"}, db);
  EXPECT_EQ(report.blastRadius, kDependents + 1);
  ASSERT_EQ(report.directDependents.size(), 25u);
  EXPECT_EQ(report.directDependents.front(), "dep/0.ts");
  EXPECT_TRUE(report.transitiveDependents.empty());
  EXPECT_EQ(report.truncatedCount, kDependents + 1 - 25);
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

std::string placeholders(std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += i ? ", ?" : "?";
  return out;
}

std::vector<std::string> textColumn(db::Connection& db, const std::string& sql,
                                    const std::vector<db::Value>& bindings) {
  std::vector<std::string> out;
  for (const auto& row : db.query(sql, bindings)) {
    if (auto text = db::textOf(row.at(0))) out.push_back(*text);
  }
  return out;
}

// The dependents and warnings as the statements with one parameter per element define them,
// level by level, for a graph small enough for those statements.
struct Expected {
  std::vector<std::string> direct, transitive, warnings;
};

Expected expectedBySql(db::Connection& db, const std::string& project, const std::string& changed) {
  const std::string edgesTo =
      "SELECT DISTINCT ce.file_id\nFROM code_edges ce\nJOIN code_files cf ON "
      "cf.id = ce.file_id\nWHERE ce.to_symbol IN (";
  std::vector<std::string> frontier = {changed};
  std::set<std::string> visited = {changed};
  std::vector<std::vector<std::string>> levels;
  for (int level = 0; level < 3; ++level) {
    std::vector<db::Value> ids(frontier.begin(), frontier.end());
    auto names = textColumn(db,
                            "SELECT name, file_id FROM code_symbols WHERE file_id IN (" +
                                placeholders(ids.size()) + ")",
                            ids);
    std::set<std::string> found;
    auto collect = [&](const std::vector<std::string>& targets) {
      if (targets.empty()) return;
      std::vector<db::Value> b(targets.begin(), targets.end());
      b.push_back(db::text(project));
      b.insert(b.end(), ids.begin(), ids.end());
      for (auto& f : textColumn(db,
                                edgesTo + placeholders(targets.size()) +
                                    ")\n  AND cf.project = ?\n  AND ce.file_id NOT IN (" +
                                    placeholders(ids.size()) + ")",
                                b)) {
        found.insert(f);
      }
    };
    collect(names);
    std::vector<std::string> refs;
    for (const auto& id : frontier) refs.push_back("file:" + id);
    collect(refs);
    std::vector<std::string> fresh;
    for (const auto& f : found) {
      if (visited.insert(f).second) fresh.push_back(f);
    }
    if (fresh.empty()) break;
    levels.push_back(fresh);
    frontier = fresh;
  }
  Expected want;
  std::vector<std::string> all;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    for (const auto& id : levels[i]) {
      auto path =
          textColumn(db, "SELECT relative_path FROM code_files WHERE id = ?", {db::text(id)});
      (i == 0 ? want.direct : want.transitive).push_back(path.at(0));
      all.push_back(id);
    }
  }
  for (const auto& id : all) {
    auto names = textColumn(db, "SELECT name FROM code_symbols WHERE file_id = ?", {db::text(id)});
    if (names.empty()) continue;
    std::vector<db::Value> b(names.begin(), names.end());
    b.push_back(db::text(project));
    b.push_back(db::text(id));
    auto n = *db::integerOf(*db.scalar(
        "SELECT COUNT(*) FROM code_edges ce\nJOIN code_files cf ON cf.id = ce.file_id\nWHERE "
        "ce.to_symbol IN (" +
            placeholders(names.size()) + ")\n  AND cf.project = ?\n  AND ce.file_id != ?",
        b));
    if (n < 21) continue;
    auto path = textColumn(db, "SELECT relative_path FROM code_files WHERE id = ?", {db::text(id)});
    want.warnings.push_back(path.at(0) + " has " + std::to_string(n) +
                            " inbound dependencies — high-impact file, review carefully");
  }
  std::sort(want.direct.begin(), want.direct.end());
  std::sort(want.transitive.begin(), want.transitive.end());
  std::sort(want.warnings.begin(), want.warnings.end());
  return want;
}

TEST(Impact, DependentsAndWarningsEqualThePerElementStatements) {
  testing::TestDatabase t;
  auto& db = t.db();
  std::vector<std::string> ids;
  for (int i = 0; i < 60; ++i) {
    ids.push_back(addCodeFile(db, i < 50 ? kProject : "/other", tangledPath(i)));
  }
  // Names declared in several files and repeated in one, edges of every kind (to own names
  // too), references between files, and edges from another project.
  for (int i = 0; i < 60; ++i) {
    addSymbol(db, ids[(i * 7) % 60], testing::numbered("N", i % 23));
    addEdge(db, ids[(i * 11) % 60], testing::numbered("N", (i * 5) % 29),
            i % 3 ? "imports" : "contains");
    if (i % 4 == 0) {
      db.run(
          "INSERT OR IGNORE INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
          "VALUES ('from', ?, 'references', ?)",
          {db::text("file:" + ids[(i * 3) % 60]), db::text(ids[(i * 13) % 60])});
    }
  }
  addSymbol(db, ids[0], "Root");
  addEdge(db, ids[3], "Root");
  addSymbol(db, ids[3], "Hot");
  for (int i = 10; i < 32; ++i) addEdge(db, ids[i], "Hot", "calls");
  addEdge(db, ids[3], "Hot", "calls");     // its own edge does not count
  addEdge(db, ids[55], "Hot", "imports");  // nor one of another project
  for (int changed : {0, 7, 21, 49}) {
    SCOPED_TRACE(changed);
    auto want = expectedBySql(db, kProject, ids[changed]);
    auto report = analyzeImpact(kProject, {tangledPath(changed)}, db);
    EXPECT_EQ(report.blastRadius,
              static_cast<std::int64_t>(want.direct.size() + want.transitive.size()));
    auto warnings = report.highImpactWarnings;
    std::sort(warnings.begin(), warnings.end());
    EXPECT_EQ(warnings, want.warnings);
    // The listed paths are the first 25 of the sorted lists, direct ones first.
    auto listedDirect = want.direct;
    auto listedTransitive = want.transitive;
    if (listedDirect.size() > 25) listedDirect.resize(25);
    if (listedDirect.size() + listedTransitive.size() > 25) {
      listedTransitive.resize(25 - listedDirect.size());
    }
    EXPECT_EQ(report.directDependents, listedDirect);
    EXPECT_EQ(report.transitiveDependents, listedTransitive);
    if (changed == 0) {
      EXPECT_EQ(want.warnings.size(), 1u);  // f003 declares Hot, which 22 other files use
    }
  }
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// A tangled graph of 50 project files, as above, and `padding` further project files without
// edges: with them, every frontier is a small share of the project and dependents are reached
// by index; without them, the analysis soon reads the whole graph.
std::vector<std::string> buildTangled(db::Connection& db, int padding) {
  db::Savepoint savepoint(db);
  std::vector<std::string> ids;
  for (int i = 0; i < 60; ++i) {
    ids.push_back(addCodeFile(db, i < 50 ? kProject : "/other", tangledPath(i)));
  }
  for (int i = 0; i < 60; ++i) {
    addSymbol(db, ids[(i * 7) % 60], testing::numbered("N", i % 23));
    addEdge(db, ids[(i * 11) % 60], testing::numbered("N", (i * 5) % 29),
            i % 3 ? "imports" : "contains");
    if (i % 4 == 0) addEdge(db, ids[(i * 13) % 60], "file:" + ids[(i * 3) % 60], "references");
  }
  addSymbol(db, ids[3], "Hot");
  for (int i = 10; i < 32; ++i) addEdge(db, ids[i], "Hot", "calls");
  addEdge(db, ids[3], "Hot", "calls");
  addEdge(db, ids[55], "Hot", "imports");
  for (int i = 0; i < padding; ++i) {
    auto id = addCodeFile(db, kProject, paddedPath("pad/p", i));
    addSymbol(db, id, testing::numbered("N", i % 23));  // declares names, has no edges
  }
  savepoint.commit();
  return ids;
}

TEST(Impact, ReadingByIndexAndReadingTheWholeGraphGiveTheSameReport) {
  for (int padding : {0, 400}) {
    testing::TestDatabase t;
    auto& db = t.db();
    auto ids = buildTangled(db, padding);
    for (int changed = 0; changed < 50; changed += 3) {
      SCOPED_TRACE(std::to_string(padding) + " padding files, changed f" + std::to_string(changed));
      auto want = expectedBySql(db, kProject, ids[changed]);
      auto report = analyzeImpact(kProject, {tangledPath(changed)}, db);
      EXPECT_EQ(report.blastRadius,
                static_cast<std::int64_t>(want.direct.size() + want.transitive.size()));
      auto warnings = report.highImpactWarnings;
      std::sort(warnings.begin(), warnings.end());
      EXPECT_EQ(warnings, want.warnings);
      if (want.direct.size() + want.transitive.size() <= 25) {
        EXPECT_EQ(report.directDependents, want.direct);
        EXPECT_EQ(report.transitiveDependents, want.transitive);
      }
    }
  }
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// Warnings come in the order their files are reached, which the report leaves undefined.
ImpactReport withSortedWarnings(ImpactReport report) {
  std::sort(report.highImpactWarnings.begin(), report.highImpactWarnings.end());
  return report;
}

// A graph kept between analyses answers exactly as reading the tables does, and once another
// connection writes the project's code rows (raising its counter, as ingestion does) it is
// read again, so the new dependent appears.
TEST(Impact, AKeptGraphGivesTheSameReportsUntilTheCodeRowsChange) {
  testing::TestDatabase t;
  auto& db = t.db();
  buildTangled(db, 0);
  ImpactGraphCache cache;
  for (int round = 0; round < 2; ++round) {
    for (int changed = 0; changed < 50; changed += 7) {
      SCOPED_TRACE("round " + std::to_string(round) + ", changed f" + std::to_string(changed));
      const std::vector<std::string> files = {tangledPath(changed)};
      EXPECT_EQ(withSortedWarnings(analyzeImpact(kProject, files, db, &cache)),
                withSortedWarnings(analyzeImpact(kProject, files, db)));
    }
    EXPECT_EQ(cache.size(), 1u);
  }

  auto other = db::Connection::open(t.path());
  {
    db::Savepoint savepoint(other);
    auto newcomer = addCodeFile(other, kProject, "late/newcomer.ts");
    addEdge(other, newcomer, "file:" + testing::codeFileID(kProject, tangledPath(0)), "references");
    bumpCodeGeneration(kProject, other);
    savepoint.commit();
  }
  const std::vector<std::string> files = {tangledPath(0)};
  const auto report = withSortedWarnings(analyzeImpact(kProject, files, db, &cache));
  EXPECT_EQ(report, withSortedWarnings(analyzeImpact(kProject, files, db)));
  const auto& direct = report.directDependents;
  EXPECT_NE(std::find(direct.begin(), direct.end(), "late/newcomer.ts"), direct.end());
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// Go packages as ingestion stores them: an import of a package is a reference to each file of
// its folder, and the files of one folder see each other's names without one. Package p<k>
// imports p<k+1> and p<(k+3) % n> (cycles, and dependents several removes away); every package
// declares Shared, used in the next package, which sees only its own import's declaration; one
// file of p0 declares Hot, which more than twenty files of p0 use without an import. Further
// files without edges keep every frontier a small share of the project, so analyses read by
// index.
// How a store holds a Go import of a package: a reference to each of its files, as older runs
// wrote it; one to its first file, as runs write it now; or each importer either way.
enum class PackageReferences { PerFile, PerPackage, Mixed };

std::vector<std::string> buildGoPackages(db::Connection& db,
                                         PackageReferences shape = PackageReferences::PerFile) {
  constexpr int kPackages = 6, kFiles = 5;
  db::Savepoint savepoint(db);
  auto path = [](int package, int file) {
    return "p" + std::to_string(package) + "/f" + std::to_string(file) + ".go";
  };
  auto id = [&](int package, int file) {
    return testing::codeFileID(kProject, path(package, file));
  };
  std::vector<std::string> paths;
  for (int p = 0; p < kPackages; ++p) {
    for (int f = 0; f < kFiles; ++f) {
      paths.push_back(path(p, f));
      addCodeFile(db, kProject, path(p, f));
      addSymbol(db, id(p, f), "P" + std::to_string(p) + "F" + std::to_string(f));
    }
    addSymbol(db, id(p, 0), "Shared");
  }
  for (int p = 0; p < kPackages; ++p) {
    for (int f = 0; f < kFiles; ++f) {
      const std::string self = id(p, f);
      const bool perFile = shape == PackageReferences::PerFile ||
                           (shape == PackageReferences::Mixed && (p + f) % 2 == 0);
      for (int imported : {(p + 1) % kPackages, (p + 3) % kPackages}) {
        for (int g = 0; g < (perFile ? kFiles : 1); ++g) {
          addEdge(db, self, "file:" + id(imported, g), "references");
        }
      }
      addEdge(db, self, "P" + std::to_string((p + 1) % kPackages) + "F" + std::to_string(f));
      addEdge(db, self, "P" + std::to_string(p) + "F" + std::to_string((f + 1) % kFiles));
      addEdge(db, self, "Shared");
    }
  }
  // Each package's external test imports it and the next package.
  for (int p = 0; p < kPackages; ++p) {
    const auto test = addCodeFile(db, kProject, "p" + std::to_string(p) + "/z_test.go");
    const bool perFile =
        shape == PackageReferences::PerFile || (shape == PackageReferences::Mixed && p % 2 == 1);
    for (int imported : {p, (p + 1) % kPackages}) {
      for (int g = 0; g < (perFile ? kFiles : 1); ++g) {
        addEdge(db, test, "file:" + id(imported, g), "references");
      }
    }
    addEdge(db, test, "P" + std::to_string(p) + "F2");
  }
  addSymbol(db, id(0, 1), "Hot");
  for (int i = 0; i < 24; ++i) {
    const auto user = addCodeFile(db, kProject, paddedPath("p0/hot", i, ".go"));
    addEdge(db, user, "Hot", "calls");
  }
  for (int i = 0; i < 600; ++i) addCodeFile(db, kProject, paddedPath("pad/x", i, ".go"));
  savepoint.commit();
  return paths;
}

// Reading by index, alone or adding to what earlier analyses read, walks the same graph as
// reading it whole: the same dependents with the same evidence at every remove, the same
// inbound counts, and the same reports.
TEST(Impact, ReadsByIndexKeptBetweenAnalysesAnswerAsTheWholeGraph) {
  testing::TestDatabase t;
  auto& db = t.db();
  const auto paths = buildGoPackages(db);
  auto whole = std::make_shared<EdgeReads>();
  whole->whole = std::make_shared<const ProjectEdges>(kProject, db);
  auto kept = std::make_shared<EdgeReads>();
  auto byDependent = [](std::vector<Dependent> found) {
    std::sort(found.begin(), found.end(),
              [](const Dependent& a, const Dependent& b) { return a.id < b.id; });
    return found;
  };
  for (const auto& path : paths) {
    SCOPED_TRACE(path);
    EdgeGraph fromWhole(kProject, db, whole);
    EdgeGraph fresh(kProject, db);
    EdgeGraph added(kProject, db, kept);
    Ids frontier = {testing::codeFileID(kProject, path)};
    const PathsByID pathsByID = {{frontier[0], path}};
    for (int level = 0; level < 3 && !frontier.empty(); ++level) {
      const auto want = byDependent(fromWhole.dependentsOf(frontier, pathsByID));
      EXPECT_EQ(byDependent(fresh.dependentsOf(frontier, pathsByID)), want);
      EXPECT_EQ(byDependent(added.dependentsOf(frontier, pathsByID)), want);
      Ids next;
      for (const auto& dependent : want) next.push_back(dependent.id);
      EXPECT_EQ(fresh.inboundEdges(next), fromWhole.inboundEdges(next));
      EXPECT_EQ(added.inboundEdges(next), fromWhole.inboundEdges(next));
      EXPECT_EQ(fresh.pathsOf(next), fromWhole.pathsOf(next));
      frontier = std::move(next);
    }
    EXPECT_FALSE(fresh.whole());
    EXPECT_FALSE(added.whole());
  }
  // A same-package name reaches its users without an import; Shared is seen only through one.
  const auto shared = analyzeImpact(kProject, {"p1/f0.go"}, db);
  auto has = [](const std::vector<std::string>& lines, const std::string& prefix) {
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
  };
  EXPECT_TRUE(has(shared.directDependents, "p0/f0.go"));  // imports p1
  EXPECT_TRUE(has(shared.directDependents, "p1/f4.go"));  // same package
  EXPECT_FALSE(has(shared.directDependents, "p2/"));      // uses a Shared it cannot see here
  EXPECT_FALSE(has(shared.directDependents, "p3/"));
  const auto hot = analyzeImpact(kProject, {"p0/f2.go"}, db);
  EXPECT_TRUE(has(hot.directDependents, "p0/f1.go"));
  EXPECT_TRUE(has(hot.highImpactWarnings, "p0/f1.go has "));

  ImpactGraphCache cache;
  for (int round = 0; round < 2; ++round) {
    for (const auto& path : paths) {
      SCOPED_TRACE("round " + std::to_string(round) + ", " + path);
      EXPECT_EQ(withSortedWarnings(analyzeImpact(kProject, {path}, db, &cache)),
                withSortedWarnings(analyzeImpact(kProject, {path}, db)));
    }
  }
  EXPECT_EQ(cache.size(), 1u);
}

// A store holds a Go import of a package as a reference to each of its files (written by older
// runs) or as one reference to its first file (written now), or both ways for different
// importers until the tree changes: every shape gives the same dependents with the same
// evidence, whether read by index or whole, and so the same reports.
TEST(Impact, GoPackagesReferencedPerFileOrPerPackageGiveTheSameAnswers) {
  std::map<std::string, ImpactReport> reports;
  std::map<std::string, std::vector<Dependent>> wholeDependents;
  auto byDependent = [](std::vector<Dependent> found) {
    std::sort(found.begin(), found.end(),
              [](const Dependent& a, const Dependent& b) { return a.id < b.id; });
    return found;
  };
  for (auto shape :
       {PackageReferences::PerFile, PackageReferences::PerPackage, PackageReferences::Mixed}) {
    testing::TestDatabase t;
    auto& db = t.db();
    auto paths = buildGoPackages(db, shape);
    paths.push_back("p2/z_test.go");
    const ProjectEdges whole(kProject, db);
    for (const auto& path : paths) {
      SCOPED_TRACE(std::to_string(static_cast<int>(shape)) + " " + path);
      const auto report = withSortedWarnings(analyzeImpact(kProject, {path}, db));
      const Ids frontier = {testing::codeFileID(kProject, path)};
      const auto dependents = byDependent(whole.dependentsOf(frontier, {{frontier[0], path}}));
      if (shape == PackageReferences::PerFile) {
        reports[path] = report;
        wholeDependents[path] = dependents;
        continue;
      }
      EXPECT_EQ(report, reports.at(path));
      EXPECT_EQ(dependents, wholeDependents.at(path));
    }
  }
  // The package's test and the next package's files and test depend on every file of it.
  const auto& last = reports.at("p1/f4.go").directDependents;
  for (const char* path : {"p1/z_test.go", "p0/z_test.go", "p0/f3.go", "p4/f0.go", "p1/f3.go"}) {
    EXPECT_NE(std::find(last.begin(), last.end(), path), last.end()) << path;
  }
}

}  // namespace
}  // namespace nodrel::codeintel
