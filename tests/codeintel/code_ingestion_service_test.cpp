#include "codeintel/code_ingestion_service.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "codeintel/code_generation.h"
#include "codeintel/code_summary.h"
#include "codeintel/fragility.h"
#include "codeintel/impact.h"
#include "codeintel/ingestion.h"
#include "codeintel/run_summary.h"
#include "codeintel/source_parser.h"
#include "db/error.h"
#include "platform/sha256.h"
#include "platform/time.h"
#include "tests/codeintel/code_rows.h"
#include "tests/support/temp_home.h"

namespace nodrel::codeintel {
namespace {

namespace fs = std::filesystem;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// A line-based stand-in for the language parsers, so that counts follow from the test's text:
// "type <name> <start> <end>", "func <name> <start> <end>", "import <text>",
// "inherits <type> <parent>", "conforms <type> <protocol>".
ParsedFile fakeParse(std::string_view content, std::string_view) {
  ParsedFile parsed;
  std::istringstream lines{std::string(content)};
  std::string word;
  while (lines >> word) {
    if (word == "type") {
      ParsedFile::TypeDeclaration t;
      lines >> t.name >> t.lineStart >> t.lineEnd;
      t.kind = SymbolKind::Struct;
      parsed.typeDeclarations.push_back(t);
    } else if (word == "func") {
      ParsedFile::FunctionDecl f;
      lines >> f.name >> f.lineStart >> f.lineEnd;
      f.signature = "func " + f.name;
      parsed.functions.push_back(f);
    } else if (word == "import") {
      lines >> word;
      parsed.imports.push_back(word);
    } else if (word == "inherits") {
      ParsedFile::Inheritance i;
      lines >> i.typeName >> i.parentName;
      parsed.inheritances.push_back(i);
    } else if (word == "conforms") {
      ParsedFile::Conformance c;
      lines >> c.typeName >> c.protocolName;
      parsed.conformances.push_back(c);
    }
  }
  return parsed;
}

class IngestionRun : public ::testing::Test {
 protected:
  IngestionResult ingest(const std::string& path, SourceParser parser = fakeParse) {
    CodeIngestionService service(db(), std::move(parser));
    return service.writeQueue().sync([&] { return service.ingest(path); });
  }
  db::Connection& db() { return database_.db(); }
  std::int64_t count(const std::string& sql, std::initializer_list<db::Value> bindings = {}) {
    auto v = db().scalar(sql, bindings);
    return v ? db::integerOf(*v).value_or(-1) : -1;
  }
  std::string fileID(const std::string& relative) {
    return platform::sha256Hex(root().generic_string() + "/" + relative);
  }
  fs::path root() const { return home_.path() / "project"; }

  testing::TempHome home_;
  testing::TestDatabase database_;
};

TEST_F(IngestionRun, WritesFilesSymbolsAndEdges) {
  writeFile(root() / "src/shapes.ts",
            "type Shape 1 10\n"
            "type Inner 2 4\n"
            "func area 3 3\n"         // in Shape (first in declaration order) and Inner
            "func perimeter 12 14\n"  // in no type
            "type Shape 20 30\n"
            "func later 22 24\n"  // a later Shape: the first one's range decides
            "inherits Shape Base\n"
            "conforms Shape Drawable\n"
            "import ./util\n");
  writeFile(root() / "src/util.ts", "func helper 1 2\n");
  auto result = ingest(root().string());

  EXPECT_EQ(result.project, root().string());
  EXPECT_EQ(result.filesDiscovered, 2);
  EXPECT_EQ(result.filesParsed, 2);
  EXPECT_EQ(result.filesSkipped, 0);
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(result.symbolsExtracted, 3 + 3 + 1);
  // contains 1, inherits 1, conforms 1, imports 1, references 1.
  EXPECT_EQ(result.edgesCreated, 5);

  const auto shapes = fileID("src/shapes.ts");
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_symbols WHERE file_id = ?", {db::text(shapes)}), 6);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_symbols WHERE kind = 'struct' AND signature IS NULL"),
            3);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_symbols WHERE kind = 'function'"), 4);
  auto contains =
      db().query("SELECT from_symbol, to_symbol FROM code_edges WHERE edge_type = 'contains'");
  ASSERT_EQ(contains.size(), 1u);
  EXPECT_EQ(contains[0], (db::Row{db::text("Shape"), db::text("area")}));
  auto references = db().query(
      "SELECT from_symbol, to_symbol, file_id FROM code_edges WHERE edge_type = 'references'");
  ASSERT_EQ(references.size(), 1u);
  EXPECT_EQ(references[0], (db::Row{db::text("src/shapes.ts"),
                                    db::text("file:" + fileID("src/util.ts")), db::text(shapes)}));
  auto row = db().query("SELECT project, relative_path, language FROM code_files WHERE id = ?",
                        {db::text(shapes)});
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(row[0], (db::Row{db::text(root().string()), db::text("src/shapes.ts"),
                             db::text("typescript")}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files WHERE fragility_score IS NULL"), 0);
}

TEST_F(IngestionRun, SecondRunSkipsAndAnEditedFileIsParsedAlone) {
  writeFile(root() / "a.ts", "import ./b\nfunc fa 1 1\n");
  writeFile(root() / "b.ts", "func fb 1 1\n");
  writeFile(root() / "c.py", "func fc 1 1\n");
  auto first = ingest(root().string());
  EXPECT_EQ(first.filesParsed, 3);
  auto lastParsed = db().query("SELECT id, last_parsed FROM code_files ORDER BY id");

  const auto changesBefore = count("SELECT total_changes()");
  auto second = ingest(root().string());
  EXPECT_EQ(count("SELECT total_changes()"), changesBefore);  // an unchanged tree writes nothing
  EXPECT_EQ(second.filesDiscovered, 3);
  EXPECT_EQ(second.filesSkipped, 3);
  EXPECT_EQ(second.filesParsed, 0);
  EXPECT_EQ(second.symbolsExtracted, 0);
  EXPECT_EQ(second.edgesCreated, 1);  // the reference a.ts -> b.ts, attempted again
  EXPECT_EQ(db().query("SELECT id, last_parsed FROM code_files ORDER BY id"), lastParsed);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'"), 1);

  writeFile(root() / "c.py", "func fc 1 1\nfunc gc 2 2\n");
  auto third = ingest(root().string());
  EXPECT_EQ(third.filesParsed, 1);
  EXPECT_EQ(third.filesSkipped, 2);
  EXPECT_EQ(third.symbolsExtracted, 2);
  EXPECT_EQ(
      count("SELECT COUNT(*) FROM code_symbols WHERE file_id = ?", {db::text(fileID("c.py"))}), 2);

  // A removed file, and one now inside a skipped folder, take their rows and links with them;
  // the reference to the moved file goes too.
  db().run("INSERT INTO memories (id, body) VALUES ('m1', 'about c.py')");
  db().run(
      "INSERT INTO memory_links (src_id, dst_id, link_type, weight, created_at) "
      "VALUES ('m1', ?, 'entity', 1.0, 'now')",
      {db::text("code:" + fileID("c.py"))});
  fs::remove(root() / "c.py");
  fs::create_directories(root() / "node_modules");
  fs::rename(root() / "b.ts", root() / "node_modules/b.ts");
  auto fourth = ingest(root().string());
  EXPECT_EQ(fourth.filesDiscovered, 1);
  EXPECT_EQ(db().query("SELECT relative_path FROM code_files"),
            (std::vector<db::Row>{{db::text("a.ts")}}));
  EXPECT_EQ(
      count("SELECT COUNT(*) FROM code_symbols WHERE file_id != ?", {db::text(fileID("a.ts"))}), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE file_id != ? OR edge_type = 'references'",
                  {db::text(fileID("a.ts"))}),
            0);
  EXPECT_EQ(
      count("SELECT COUNT(*) FROM code_file_stamps WHERE file_id != ?", {db::text(fileID("a.ts"))}),
      0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memory_links"), 0);
}

TEST_F(IngestionRun, AFileFailingPartWayKeepsItsPreviousRowsAndIsRetried) {
  writeFile(root() / "a.ts", "func one 1 1\nimport ./fine\n");
  ingest(root().string());
  const auto id = fileID("a.ts");
  auto before = db().query("SELECT content_hash FROM code_files WHERE id = ?", {db::text(id)});

  db().exec(
      "CREATE TRIGGER refuse_boom BEFORE INSERT ON code_edges WHEN NEW.to_symbol = 'boom' "
      "BEGIN SELECT RAISE(ABORT, 'edge refused'); END;");
  writeFile(root() / "a.ts", "func two 1 1\nfunc three 2 2\nimport boom\n");
  auto failed = ingest(root().string());
  ASSERT_EQ(failed.errors.size(), 1u);
  EXPECT_EQ(failed.errors[0], "a.ts: SQLite error 1811: edge refused");
  EXPECT_EQ(failed.filesParsed, 0);
  // Nothing of the failed attempt stays: the old hash, symbols and edges are intact.
  EXPECT_EQ(db().query("SELECT content_hash FROM code_files WHERE id = ?", {db::text(id)}), before);
  auto names = db().query("SELECT name FROM code_symbols WHERE file_id = ?", {db::text(id)});
  EXPECT_EQ(names, (std::vector<db::Row>{{db::text("one")}}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE to_symbol = './fine'"), 1);

  db().exec("DROP TRIGGER refuse_boom;");
  auto retried = ingest(root().string());
  EXPECT_EQ(retried.filesParsed, 1);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_symbols WHERE file_id = ?", {db::text(id)}), 2);
}

TEST_F(IngestionRun, ProjectPathIsNormalisedForEveryStepAndTheResult) {
  writeFile(root() / "src/main.py", "type Main 1 5\nfunc run 2 3\n");
  writeFile(root() / "src/lib.py", "import main\nconforms Lib Main\n");
  db().run(
      "INSERT INTO memories (id, tier, body, context_path, type, created_at, last_accessed) "
      "VALUES ('m1', 'episodic', 'note', 'src/main.py', 'fact', 't', 't')");
  const std::string canonical = root().string();
  struct Case {
    std::string given;
    std::string cwd;
  };
  const Case cases[] = {{canonical + "/", "/"},
                        {canonical + "/./src/..", "/"},
                        {"project", home_.path().string()},
                        {".", canonical}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.given);
    auto saved = fs::current_path();
    fs::current_path(c.cwd);
    auto result = ingest(c.given);
    fs::current_path(saved);
    EXPECT_EQ(result.project, canonical);
    EXPECT_EQ(result.filesDiscovered, 2);
    EXPECT_EQ(result.edgesCreated - (result.filesParsed ? 3 : 0), 1);  // the reference
    EXPECT_EQ(count("SELECT COUNT(DISTINCT project) FROM code_files"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM code_files WHERE project = ? AND fragility_score > 0",
                    {db::text(canonical)}),
              1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM memory_links WHERE src_id = 'm1' AND dst_id = ?",
                    {db::text("code:" + fileID("src/main.py"))}),
              1);
  }
}

TEST_F(IngestionRun, MissingOrNonDirectoryProjectEndsTheRun) {
  writeFile(root() / "file.ts", "func f 1 1\n");
  for (const std::string& path :
       {(root() / "missing").string(), (root() / "file.ts").string(), std::string()}) {
    SCOPED_TRACE(path);
    try {
      ingest(path);
      ADD_FAILURE() << "no error";
    } catch (const IngestionError& e) {
      EXPECT_EQ(std::string(e.what()), "project directory not found: " + path);
    }
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files"), 0);
}

TEST_F(IngestionRun, WholeTreesAreRefusedAndTooManyFilesStopTheRunUnwritten) {
  writeFile(root() / "a.ts", "func f 1 1\n");
  fs::create_symlink(home_.path(), home_.path() / "home-link");
  struct Case {
    std::string path, error;
  };
  const std::string home = home_.path().string();
  const Case cases[] = {
      {"/", "refusing to ingest the filesystem root (/); name a project directory"},
      {"/.", "refusing to ingest the filesystem root (/); name a project directory"},
      {home + "/", "refusing to ingest the home directory itself (" + home +
                       "); name a project directory inside it"},
      {home + "/home-link", "refusing to ingest the home directory itself (" + home +
                                "/home-link); name a project directory inside it"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    try {
      ingest(c.path);
      ADD_FAILURE() << "no error";
    } catch (const IngestionError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
  }

  for (int i = 0; i < 3; ++i) writeFile(root() / ("dir" + std::to_string(i)) / "b.ts", "");
  CodeIngestionService bounded(db(), fakeParse, 3);
  try {
    bounded.writeQueue().sync([&] { return bounded.ingest(root().string()); });
    ADD_FAILURE() << "no error";
  } catch (const IngestionError& e) {
    EXPECT_EQ(std::string(e.what()), "more than 3 source files below " + root().string() +
                                         "; ingestion stopped before writing anything (name a "
                                         "project's own directory)");
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files"), 0);
  CodeIngestionService enough(db(), fakeParse, 4);
  EXPECT_EQ(enough.writeQueue().sync([&] { return enough.ingest(root().string()); }).filesParsed,
            4);
}

TEST_F(IngestionRun, UnsafeFilesAreNeitherFollowedNorParsed) {
  const fs::path outside = home_.path() / "outside";
  writeFile(outside / "secret.ts", "func secret 1 1\n");
  writeFile(outside / "dir/inner.ts", "func inner 1 1\n");
  writeFile(root() / "ok.ts", "func ok 1 1\n");
  fs::create_symlink(outside / "secret.ts", root() / "link.ts");
  fs::create_directory_symlink(outside / "dir", root() / "linked");
  ASSERT_EQ(mkfifo((root() / "x.js").c_str(), 0600), 0);
  writeFile(root() / "huge.js",
            std::string(static_cast<std::size_t>(kMaxSourceFileBytes) + 1, 'a'));
  writeFile(root() / "limit.js", std::string(static_cast<std::size_t>(kMaxSourceFileBytes), 'a'));
  writeFile(root() / "latin1.py", "caf\xe9\n");

  auto result = ingest(root().string());
  EXPECT_EQ(result.filesDiscovered, 4);
  EXPECT_EQ(result.filesParsed, 2);
  EXPECT_EQ(result.errors,
            (std::vector<std::string>{
                "huge.js: file too large (2097153 bytes, limit 2097152 bytes); not parsed",
                "latin1.py: not valid UTF-8 text"}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_symbols WHERE name IN ('secret', 'inner')"), 0);
}

TEST_F(IngestionRun, UnreadableFileIsOneError) {
  writeFile(root() / "ok.ts", "func ok 1 1\n");
  writeFile(root() / "locked.ts", "func locked 1 1\n");
  fs::permissions(root() / "locked.ts", fs::perms::none);
  if (access((root() / "locked.ts").c_str(), R_OK) == 0) {
    GTEST_SKIP() << "running with privileges that read any file";
  }
  auto result = ingest(root().string());
  EXPECT_EQ(result.filesDiscovered, 2);
  EXPECT_EQ(result.filesParsed, 1);
  ASSERT_EQ(result.errors.size(), 1u);
  EXPECT_TRUE(result.errors[0].starts_with("locked.ts: could not be read: "));
}

TEST_F(IngestionRun, MemoriesLinkToFilesTheirContextPathNames) {
  for (const char* path :
       {"main.py", "src/main.py", "src/domain.py", "src/a_b.py", "src/axb.py", "lib/100%.py"}) {
    writeFile(root() / path, "\n");
  }
  struct Case {
    std::string contextPath;
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {"main.py", {"main.py", "src/main.py"}},
      {"src/main.py", {"src/main.py"}},
      {"in.py", {}},
      {"a_b.py", {"src/a_b.py"}},
      {"%.py", {}},
      {"100%.py", {"lib/100%.py"}},
      {"", {}},
  };
  for (std::size_t i = 0; i < cases.size(); ++i) {
    db().run(
        "INSERT INTO memories (id, tier, body, context_path, type, created_at, last_accessed) "
        "VALUES (?, 'episodic', ?, ?, 'fact', 't', 't')",
        {db::text(testing::numbered("m", i)), db::text("body " + std::to_string(i)),
         db::text(cases[i].contextPath)});
  }
  ingest(root().string());
  ingest(root().string());  // a second run adds no duplicate links
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE("context path \"" + cases[i].contextPath + "\"");
    std::vector<std::string> want;
    for (const auto& p : cases[i].want) want.push_back("code:" + fileID(p));
    std::sort(want.begin(), want.end());
    std::vector<std::string> got;
    for (const auto& row :
         db().query("SELECT dst_id FROM memory_links WHERE src_id = ? AND link_type = 'entity' "
                    "AND weight = 1.0 ORDER BY dst_id",
                    {db::text(testing::numbered("m", i))})) {
      got.push_back(*db::textOf(row.at(0)));
    }
    EXPECT_EQ(got, want);
  }
}

// The memory query prepares but fails on its first row: the run still succeeds, without links.
TEST_F(IngestionRun, AMemoryQueryFailingWhileSteppingCostsOnlyTheLinks) {
  writeFile(root() / "src/main.py", "func run 1 1\n");
  db().exec(
      "ALTER TABLE memories RENAME TO memories_kept;"
      "CREATE TABLE broken_memories (id TEXT, raw TEXT);"
      "INSERT INTO broken_memories VALUES ('m1', 'not json');"
      "CREATE VIEW memories AS SELECT id, json(raw) AS context_path FROM broken_memories;");
  auto result = ingest(root().string());
  EXPECT_EQ(result.filesParsed, 1);
  EXPECT_TRUE(result.errors.empty());
  EXPECT_EQ(count("SELECT COUNT(*) FROM memory_links"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files WHERE fragility_score IS NOT NULL"), 1);
}

TEST_F(IngestionRun, ReferencesFollowImportsAndNeverNameTheImportingFile) {
  writeFile(root() / "src/utils.ts", "import ./utils\n");  // names only itself
  writeFile(root() / "src/app.ts", "import ./models/user\nimport os.path\nimport ../models/user\n");
  writeFile(root() / "src/models/user.ts", "\n");
  writeFile(root() / "models/user.ts", "\n");  // what "../models/user" names
  auto result = ingest(root().string());
  EXPECT_EQ(result.edgesCreated, 4 + 2);
  auto refs =
      db().query("SELECT from_symbol, to_symbol FROM code_edges WHERE edge_type = 'references'");
  std::vector<std::string> targets;
  for (const auto& row : refs) {
    EXPECT_EQ(row.at(0), db::text("src/app.ts"));
    targets.push_back(*db::textOf(row.at(1)));
  }
  std::sort(targets.begin(), targets.end());
  std::vector<std::string> want = {"file:" + fileID("models/user.ts"),
                                   "file:" + fileID("src/models/user.ts")};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(targets, want);

  // The file one import named is gone: its reference goes, and no file of the same stem
  // elsewhere takes its place.
  fs::remove(root() / "src/models/user.ts");
  writeFile(root() / "lib/user.py", "\n");
  ingest(root().string());
  refs = db().query("SELECT to_symbol FROM code_edges WHERE edge_type = 'references'");
  EXPECT_EQ(refs, (std::vector<db::Row>{{db::text("file:" + fileID("models/user.ts"))}}));
}

// A first run that adds many references at once sets the plain edge indexes aside for the
// insertion: the rows and the indexes afterwards must be those of a row-by-row insertion.
TEST_F(IngestionRun, ABulkOfReferencesLeavesTheSameRowsAndIndexes) {
  constexpr int kPackages = 150, kImporters = 140;  // 21,000 references, one per package
  auto package = [](int i) {
    std::string n = std::to_string(i);
    return "a/p" + std::string(3 - n.size(), '0') + n;
  };
  writeFile(root() / "go.mod", "module example.com/m\n");
  std::string imports;
  for (int i = 0; i < kPackages; ++i) {
    for (int f = 0; f < 4; ++f) {
      writeFile(root() / (package(i) + "/x" + std::to_string(f) + ".go"), "\n");
    }
    imports += "import example.com/m/" + package(i) + "\n";
  }
  for (int i = 0; i < kImporters; ++i) {
    writeFile(root() / ("b/b" + std::to_string(i) + ".go"), imports);
  }
  const std::string indexes =
      "SELECT group_concat(name || ':' || sql, ';') FROM (SELECT name, sql FROM sqlite_master "
      "WHERE tbl_name = 'code_edges' AND type = 'index' ORDER BY name)";
  const auto before = db().scalar(indexes);
  auto result = ingest(root().string());
  EXPECT_EQ(result.edgesCreated, kImporters * kPackages + 4 * kPackages * kImporters);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'"),
            kPackages * kImporters);
  // Each importer's references are written in the path order of the files its imports name.
  EXPECT_EQ(count("SELECT COUNT(*) FROM (SELECT e.file_id, cf.relative_path AS target, "
                  "LAG(cf.relative_path) OVER (PARTITION BY e.file_id ORDER BY e.id) AS previous "
                  "FROM code_edges e JOIN code_files cf ON cf.id = substr(e.to_symbol, 6) "
                  "WHERE e.edge_type = 'references') WHERE target <= previous"),
            0);
  EXPECT_EQ(db().scalar(indexes), before);
  EXPECT_EQ(db().scalar("PRAGMA integrity_check"), db::text("ok"));
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges INDEXED BY idx_code_edges_to_symbol "
                  "WHERE to_symbol = ?",
                  {db::text("file:" + fileID(package(7) + "/x0.go"))}),
            kImporters);

  // A store that held a reference to each file of a package loses most of its rows on its
  // next run over a changed tree, with the indexes set aside as for a bulk of new ones.
  db().exec(
      "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
      "SELECT ce.from_symbol, 'file:' || other.id, 'references', ce.file_id "
      "FROM code_edges ce JOIN code_files first ON first.id = substr(ce.to_symbol, 6) "
      "JOIN code_files other ON other.project = first.project AND other.relative_path IN "
      "(replace(first.relative_path, 'x0.go', 'x1.go'), "
      "replace(first.relative_path, 'x0.go', 'x2.go'), "
      "replace(first.relative_path, 'x0.go', 'x3.go')) "
      "WHERE ce.edge_type = 'references'");
  ASSERT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'"),
            4 * kPackages * kImporters);
  writeFile(root() / (package(0) + "/x3.go"), "\n\n");
  ingest(root().string());
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'"),
            kPackages * kImporters);
  EXPECT_EQ(db().scalar(indexes), before);
  EXPECT_EQ(db().scalar("PRAGMA integrity_check"), db::text("ok"));

  // A later run that drops one importer's imports changes only its rows.
  writeFile(root() / "b/b0.go", "\n");
  ingest(root().string());
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'"),
            kPackages * (kImporters - 1));
  EXPECT_EQ(
      count("SELECT COUNT(*) FROM code_edges WHERE file_id = ?", {db::text(fileID("b/b0.go"))}), 0);
  EXPECT_EQ(db().scalar(indexes), before);
}

// A Go import names a package: one reference per importer and package, naming the package's
// first file, read as a reference to each of its files. A store written with one reference per
// file keeps it until the tree changes, and gives the same answers meanwhile.
TEST_F(IngestionRun, GoImportsReferenceThePackageThroughItsFirstFile) {
  writeFile(root() / "go.mod", "module example.com/m\n");
  writeFile(root() / "a/a1.go", "type A1 1 1\n");
  writeFile(root() / "a/a2.go", "type A2 1 1\nimport example.com/m/a\n");  // its own package
  writeFile(root() / "a/a_test.go", "import example.com/m/a\n");
  writeFile(root() / "b/b.go", "import example.com/m/a\nimport fmt\n");
  writeFile(root() / "c/c.ts", "import ../a/a2.go\n");  // not a package import
  auto references = [&] {
    std::set<std::pair<std::string, std::string>> found;
    for (const auto& row : db().query("SELECT from_symbol, cf.relative_path FROM code_edges ce "
                                      "JOIN code_files cf ON 'file:' || cf.id = ce.to_symbol WHERE "
                                      "edge_type = 'references'"))
      found.emplace(*db::textOf(row.at(0)), *db::textOf(row.at(1)));
    return found;
  };
  auto dependents = [&](const std::string& path) {
    auto report = analyzeImpact(root().string(), {path}, db());
    EXPECT_EQ(report.blastRadius, static_cast<std::int64_t>(report.directDependents.size() +
                                                            report.transitiveDependents.size()));
    return std::make_pair(report.directDependents, report.transitiveDependents);
  };
  auto result = ingest(root().string());
  // 5 imports, and the files each one reaches: a1 for a2, a1 and a2 for the other Go files,
  // a2 for c.ts.
  EXPECT_EQ(result.edgesCreated, 5 + 1 + 2 + 2 + 1);
  using Refs = std::set<std::pair<std::string, std::string>>;
  EXPECT_EQ(references(), (Refs{{"a/a2.go", "a/a1.go"},
                                {"a/a_test.go", "a/a1.go"},
                                {"b/b.go", "a/a1.go"},
                                {"c/c.ts", "a/a2.go"}}));
  const std::vector<std::string> want2 = {"a/a_test.go", "b/b.go", "c/c.ts"};
  EXPECT_EQ(dependents("a/a2.go").first, want2);
  const std::vector<std::string> want1 = {"a/a2.go", "a/a_test.go", "b/b.go"};
  EXPECT_EQ(dependents("a/a1.go").first, want1);

  // The shape an older run stored: a reference to each file the import names, with the
  // summary still current, so an unchanged tree keeps these rows.
  db().exec(
      "INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id) "
      "SELECT ce.from_symbol, 'file:' || cf.id, 'references', ce.file_id FROM code_edges ce "
      "JOIN code_files cf ON cf.relative_path = 'a/a2.go' "
      "WHERE ce.edge_type = 'references' AND ce.from_symbol IN ('a/a_test.go', 'b/b.go')");
  const auto both = references();
  ingest(root().string());
  EXPECT_EQ(references(), both);
  EXPECT_EQ(dependents("a/a2.go").first, want2);
  EXPECT_EQ(dependents("a/a1.go").first, want1);

  // A new first file takes the package's references over once the tree is read again.
  writeFile(root() / "a/a0.go", "\n");
  ingest(root().string());
  EXPECT_EQ(references(), (Refs{{"a/a2.go", "a/a0.go"},
                                {"a/a2.go", "a/a1.go"},
                                {"a/a_test.go", "a/a0.go"},
                                {"b/b.go", "a/a0.go"},
                                {"c/c.ts", "a/a2.go"}}));
  EXPECT_EQ(dependents("a/a1.go").first, want1);
  EXPECT_EQ(dependents("a/a0.go").first, want1);
}

// Another run of the project rewrites a file after this run derived its references and before
// it stores its summary: that file's references went with its rows, so this run's summary must
// not vouch for them, and the next run derives them again.
TEST_F(IngestionRun, ReferencesLostToAnotherRunAreDerivedAgainByTheNextRun) {
  writeFile(root() / "go.mod", "module example.com/m\n");
  writeFile(root() / "a/a.go", "type A 1 1\n");
  writeFile(root() / "b/b.go", "import example.com/m/a\n");
  writeFile(root() / "c/c.go", "import example.com/m/a\n");
  const std::string references = "SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references'";
  // Scores are written after the references and before the summary; the trigger (a table's own,
  // since a run's settings drop temporary ones) stands for the other run's commit there, deleting
  // b.go's rows as its rewrite does and raising the counter.
  db().exec("CREATE TABLE fired (x)");
  db().exec(
      "CREATE TRIGGER other_run AFTER UPDATE OF fragility_score ON code_files "
      "WHEN NOT EXISTS (SELECT 1 FROM fired) BEGIN "
      "INSERT INTO fired VALUES (1); "
      "DELETE FROM code_edges WHERE edge_type = 'references' AND from_symbol = 'b/b.go'; "
      "UPDATE code_generations SET generation = generation + 1; END");
  ingest(root().string());
  ASSERT_EQ(count("SELECT COUNT(*) FROM fired"), 1);
  EXPECT_EQ(count(references), 1);
  db().exec("DROP TRIGGER other_run");

  auto result = ingest(root().string());
  EXPECT_EQ(result.filesSkipped, 4 - 1);  // go.mod is no source file
  EXPECT_EQ(count(references), 2);
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_edges WHERE edge_type = 'references' AND "
                  "from_symbol = 'b/b.go'"),
            1);
}

TEST(CodeIngestionService, WriteQueueIsLabelled) {
  testing::TestDatabase t;
  CodeIngestionService service(t.db());
  EXPECT_EQ(service.writeQueue().label(), "com.tarvomen.nodrel.ingestion-write");
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// The fixture project with the real parsers. What git cannot hold well (a FIFO, a link out of
// the tree, an unreadable file) is added to a scratch copy.
class FixtureProject : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::copy(testing::fixturePath("codeintel/project"), root(), fs::copy_options::recursive);
    writeFile(home_.path() / "outside/secret.ts", "export class Secret {}\n");
    fs::create_symlink(home_.path() / "outside/secret.ts", root() / "src/secret.ts");
    fs::create_directory_symlink(home_.path() / "outside", root() / "src/outside");
    ASSERT_EQ(mkfifo((root() / "web/pipe.js").c_str(), 0600), 0);
    writeFile(root() / "src/locked.ts", "export function locked() {}\n");
    fs::permissions(root() / "src/locked.ts", fs::perms::none);
    lockedReadable_ = access((root() / "src/locked.ts").c_str(), R_OK) == 0;
  }
  IngestionResult ingest() {
    CodeIngestionService service(database_.db());
    return service.writeQueue().sync([&] { return service.ingest(root().string()); });
  }
  fs::path root() const { return home_.path() / "project"; }

  testing::TempHome home_;
  testing::TestDatabase database_;
  bool lockedReadable_ = false;
};

TEST_F(FixtureProject, FirstRunCountsThenSecondRunSkipsEverything) {
  auto first = ingest();
  // 13 source files, plus src/locked.ts; not: node_modules, build, dot names, page.htm,
  // build.gradle.kts, README.md, the FIFO and the two links.
  EXPECT_EQ(first.filesDiscovered, 14);
  std::vector<std::string> wantErrors = {"legacy.js: not valid UTF-8 text"};
  if (!lockedReadable_)
    wantErrors.insert(wantErrors.begin(), "locked.ts: could not be read: Permission denied");
  EXPECT_EQ(first.errors, wantErrors);
  EXPECT_EQ(first.filesParsed, lockedReadable_ ? 13 : 12);
  EXPECT_EQ(first.filesSkipped, 0);
  // Types and functions of the 13 parsed files (src/locked.ts declares one function), among
  // them the methods of App and User.
  EXPECT_EQ(first.symbolsExtracted, lockedReadable_ ? 25 : 24);
  // 6 contains, 3 conforms_to, 13 imports, and 5 references: app.ts to format.ts and
  // user.ts, app.js to format.ts, index.html to style.css and app.js. format.ts importing
  // "./format" names only itself and gets none.
  EXPECT_EQ(first.edgesCreated, 27);
  auto& db = database_.db();
  auto countOf = [&](const std::string& type) {
    return *db::integerOf(
        *db.scalar("SELECT COUNT(*) FROM code_edges WHERE edge_type = ?", {db::text(type)}));
  };
  EXPECT_EQ(countOf("contains"), 6);
  EXPECT_EQ(countOf("conforms_to"), 3);
  EXPECT_EQ(countOf("imports"), 13);
  EXPECT_EQ(countOf("references"), 5);
  const std::string project = root().string();
  auto referenced = db.query(
      "SELECT ce.from_symbol, target.relative_path FROM code_edges ce "
      "JOIN code_files target ON 'file:' || target.id = ce.to_symbol "
      "WHERE ce.edge_type = 'references' ORDER BY 1, 2");
  EXPECT_EQ(referenced,
            (std::vector<db::Row>{{db::text("src/app.ts"), db::text("src/models/user.ts")},
                                  {db::text("src/app.ts"), db::text("src/utils/format.ts")},
                                  {db::text("web/app.js"), db::text("src/utils/format.ts")},
                                  {db::text("web/index.html"), db::text("web/app.js")},
                                  {db::text("web/index.html"), db::text("web/style.css")}}));
  EXPECT_EQ(*db::integerOf(*db.scalar(
                "SELECT COUNT(*) FROM code_files WHERE project = ? AND fragility_score IS NOT NULL",
                {db::text(project)})),
            first.filesParsed);

  auto second = ingest();
  EXPECT_EQ(second.filesDiscovered, first.filesDiscovered);
  EXPECT_EQ(second.filesSkipped, first.filesParsed);
  EXPECT_EQ(second.filesParsed, 0);
  EXPECT_EQ(second.symbolsExtracted, 0);
  EXPECT_EQ(second.errors, wantErrors);
  EXPECT_EQ(second.edgesCreated, 5);

  writeFile(root() / "src/models/user.ts",
            "export class User {\n  constructor(public name: string) {}\n}\n");
  auto third = ingest();
  EXPECT_EQ(third.filesParsed, 1);
  EXPECT_EQ(third.filesSkipped, first.filesParsed - 1);
  EXPECT_EQ(third.symbolsExtracted, 2);  // the class and its constructor
  EXPECT_EQ(third.edgesCreated, 6);      // the references and the class containing it
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

TEST(CodeIngestionService, ALockedDatabaseEndsTheRunInsteadOfWaitingOnEveryFile) {
  testing::TempHome home;
  const fs::path root = home.path() / "project";
  for (int i = 0; i < 5; ++i) writeFile(root / testing::numbered("f", i).append(".ts"), "x\n");
  testing::TestDatabase database;
  auto other = db::Connection::open(database.path(), {.busyTimeoutMs = 0});
  other.exec("BEGIN IMMEDIATE;");  // another program is writing
  auto mine = db::Connection::open(database.path(), {.busyTimeoutMs = 50});
  CodeIngestionService service(mine);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_THROW(service.writeQueue().sync([&] { return service.ingest(root.string()); }), db::Error);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
  other.exec("ROLLBACK;");
  EXPECT_EQ(*db::integerOf(*mine.scalar("SELECT COUNT(*) FROM code_files")), 0);
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// Runs that may trust stamps at once, so the tests need not wait for files to settle.
IngestionResult ingestWith(db::Connection& db, const fs::path& root, IngestionOptions options,
                           SourceParser parser = fakeParse) {
  CodeIngestionService service(db, std::move(parser), kMaxSourceFiles, options);
  return service.writeQueue().sync([&] { return service.ingest(root.string()); });
}

constexpr IngestionOptions kSettledAtOnce{.parseThreads = 1, .settledAfter = {}};

std::vector<db::Row> rows(db::Connection& db, const std::string& sql) { return db.query(sql); }

// A file whose stored stamp matches what the file looks like now is passed over unread, even
// when its text changed behind it (here the stamp is forged to prove it); a stamp differing in
// any one part, or taken with other content than the stored, sends the file to be read.
TEST(IngestionStamps, OnlyAStampMatchingInEveryPartPassesOverTheFile) {
  struct Case {
    std::string name;
    std::string change;  // applied to the forged stamp row
    bool skipped;
  };
  const Case cases[] = {
      {"every part matches", "", true},
      {"size", "size = size + 1", false},
      {"modification time", "modified_ns = modified_ns + 1", false},
      {"change time", "changed_ns = changed_ns + 1", false},
      {"inode", "inode = inode + 1", false},
      {"taken with other content", "content_hash = 'other'", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempHome home;
    testing::TestDatabase database;
    const fs::path root = home.path() / "project";
    writeFile(root / "a.ts", "func one 1 1\n");
    writeFile(root / "b.ts", "func two 1 1\n");
    ingestWith(database.db(), root, kSettledAtOnce);
    ASSERT_EQ(*db::integerOf(*database.db().scalar("SELECT COUNT(*) FROM code_file_stamps")), 2);

    writeFile(root / "a.ts", "func uno 1 1\n");  // same length, other text
    struct stat st {};
    ASSERT_EQ(stat((root / "a.ts").c_str(), &st), 0);
    const auto id = platform::sha256Hex(root.string() + "/a.ts");
    database.db().run(
        "UPDATE code_file_stamps SET size = ?, modified_ns = ?, changed_ns = ?, inode = ? "
        "WHERE file_id = ?",
        {static_cast<std::int64_t>(st.st_size),
         static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
         static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
         static_cast<std::int64_t>(st.st_ino), db::text(id)});
    if (!c.change.empty()) {
      database.db().run("UPDATE code_file_stamps SET " + c.change + " WHERE file_id = ?",
                        {db::text(id)});
    }
    auto result = ingestWith(database.db(), root, kSettledAtOnce);
    EXPECT_EQ(result.filesSkipped, c.skipped ? 2 : 1);
    EXPECT_EQ(result.filesParsed, c.skipped ? 0 : 1);
    auto names = rows(database.db(), "SELECT name FROM code_symbols ORDER BY name");
    EXPECT_EQ(names.front(), db::Row{db::text(c.skipped ? "one" : "two")});
  }
}

// A file written a moment ago may change again unseen within the clock's tick: it keeps no
// stamp and is read again. A touched file with unchanged text is skipped by its hash, writes
// no code rows and gets its new stamp.
TEST(IngestionStamps, FreshFilesKeepNoStampAndTouchedOnesOnlyRenewIt) {
  testing::TempHome home;
  testing::TestDatabase database;
  auto& db = database.db();
  const fs::path root = home.path() / "project";
  writeFile(root / "a.ts", "func one 1 1\n");
  ingestWith(db, root, {.parseThreads = 1});  // settled only after two seconds
  EXPECT_EQ(*db::integerOf(*db.scalar("SELECT COUNT(*) FROM code_file_stamps")), 0);

  ingestWith(db, root, kSettledAtOnce);
  const auto stamped = rows(db, "SELECT * FROM code_file_stamps");
  ASSERT_EQ(stamped.size(), 1u);
  const auto generation = codeGeneration(root.string(), db);

  const struct timespec times[2] = {{0, UTIME_OMIT}, {1'700'000'000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (root / "a.ts").c_str(), times, 0), 0);
  auto touched = ingestWith(db, root, kSettledAtOnce);
  EXPECT_EQ(touched.filesSkipped, 1);
  EXPECT_EQ(codeGeneration(root.string(), db), generation);
  const auto renewed = rows(db, "SELECT * FROM code_file_stamps");
  ASSERT_EQ(renewed.size(), 1u);
  EXPECT_NE(renewed, stamped);
  EXPECT_EQ(renewed[0][2], db::Value(std::int64_t{1'700'000'000} * 1'000'000'000));
}

// A tree whose files import one another, declare names that other files also declare, and
// include failures (not UTF-8, too large), parsed on one thread and on four: every row, row
// ids included, and every result are the same, on a first run and on one after edits.
TEST(IngestionThreads, ParsingOnSeveralThreadsWritesTheSameRows) {
  testing::TempHome home;
  const fs::path root = home.path() / "project";
  auto writeTree = [&](int round) {
    for (int i = 0; i < 150; ++i) {
      if (round == 1 && i % 7 != 0) continue;
      std::string text = "type Shared 1 9\nfunc f" + std::to_string(i % 13) + " 2 3\n";
      text += "import ./m" + std::to_string((i * 7 + round) % 150) + "\n";
      text += "inherits T" + std::to_string(i) + " Shared\ncall helper\ncall helper\n";
      if (i % 5 == 0) text += "func extra" + std::to_string(round) + " 4 4\n";
      writeFile(root / ("d" + std::to_string(i % 6)) / ("m" + std::to_string(i) + ".ts"), text);
    }
    writeFile(root / "bad.ts", std::string("func x 1 1\n\xff\xfe", 13));
    writeFile(root / "huge.ts",
              std::string(static_cast<std::size_t>(kMaxSourceFileBytes) + 1, ' '));
  };
  testing::TestDatabase serial, parallel;
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    writeTree(round);
    auto one = ingestWith(serial.db(), root, {.parseThreads = 1});
    auto four = ingestWith(parallel.db(), root, {.parseThreads = 4});
    EXPECT_EQ(one.filesParsed, round == 0 ? 150 : 22);
    EXPECT_EQ(one.errors.size(), 2u);
    EXPECT_EQ(four.filesDiscovered, one.filesDiscovered);
    EXPECT_EQ(four.filesParsed, one.filesParsed);
    EXPECT_EQ(four.filesSkipped, one.filesSkipped);
    EXPECT_EQ(four.symbolsExtracted, one.symbolsExtracted);
    EXPECT_EQ(four.edgesCreated, one.edgesCreated);
    EXPECT_EQ(four.errors, one.errors);
    for (const char* sql :
         {"SELECT id, project, relative_path, language, content_hash, fragility_score "
          "FROM code_files ORDER BY rowid",
          "SELECT * FROM code_symbols ORDER BY id", "SELECT * FROM code_edges ORDER BY id"}) {
      SCOPED_TRACE(sql);
      EXPECT_EQ(rows(parallel.db(), sql), rows(serial.db(), sql));
    }
  }
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

// The statement the index-driven lookup stands in for: every memory against every file.
constexpr std::string_view kPlainMemoryFileMatches = R"sql(SELECT m.id, cf.id
FROM memories m
JOIN code_files cf
  ON cf.relative_path = m.context_path
  OR cf.relative_path LIKE '%/' || replace(replace(replace(m.context_path, '\', '\\'), '%', '\%'), '_', '\_') ESCAPE '\'
WHERE cf.project = ? AND m.context_path IS NOT NULL AND m.context_path != '')sql";

// Paths that share names, letters in both cases, wildcard characters and deep trailing parts,
// and context paths of every form against them: the links are exactly the plain join's, whether
// the memories are fewer than the parts to look up (matched in memory) or more (by index).
TEST(MemoryLinks, TheIndexedLookupLinksWhatThePlainJoinMatches) {
  for (int padding : {0, 80}) {
    SCOPED_TRACE(padding);
    testing::TempHome home;
    testing::TestDatabase database;
    auto& db = database.db();
    const fs::path root = home.path() / "project";
    std::vector<std::string> files = {"main.go",
                                      "cmd/main.go",
                                      "cmd/tool/Main.go",
                                      "net/http/server.go",
                                      "NET/HTTP/server.go",
                                      "x/net/http/server.go",
                                      "a_b/c%d.go",
                                      "axb/c%d.go",
                                      "a\\b.go",
                                      "deep/a/b/c/d/e.go",
                                      "http/server.go"};
    for (int i = 0; i < padding; ++i) files.push_back(testing::numbered("pad/f", i) + ".go");
    for (const auto& file : files) writeFile(root / file, "\n");
    // A second project with the same paths must get no links from this one.
    for (const auto& file : files) writeFile(home.path() / "other" / file, "\n");
    const char* const contexts[] = {"main.go",
                                    "MAIN.GO",
                                    "cmd/main.go",
                                    "Cmd/Main.go",
                                    "tool/main.go",
                                    "http/server.go",
                                    "HTTP/Server.go",
                                    "net/http/server.go",
                                    "server.go",
                                    "c%d.go",
                                    "a_b/c%d.go",
                                    "a%b/c%d.go",
                                    "_/c%d.go",
                                    "b.go",
                                    "a\\b.go",
                                    "e.go",
                                    "c/d/e.go",
                                    "/main.go",
                                    "ain.go",
                                    "",
                                    "deep/a/b/c/d/e.go/",
                                    "go",
                                    "x/net/http/server.go"};
    int n = 0;
    for (const char* context : contexts) {
      for (const char* tier : {"episodic", "cold"}) {
        db.run(
            "INSERT INTO memories (id, tier, body, context_path, created_at, last_accessed, "
            "deleted_at) VALUES (?, ?, ?, ?, 't', 't', ?)",
            {db::text(testing::numbered("m", n)), db::text(tier),
             db::text(testing::numbered("body ", n)), db::text(context),
             n % 3 == 0 ? db::text("t") : db::Value(db::Null{})});
        ++n;
      }
    }
    ingestWith(db, home.path() / "other", {.parseThreads = 1});
    db.run("DELETE FROM memory_links");
    ingestWith(db, root, {.parseThreads = 1});

    std::set<std::pair<std::string, std::string>> want;
    for (const auto& row : db.query(kPlainMemoryFileMatches, {db::text(root.string())})) {
      want.emplace(*db::textOf(row[0]), "code:" + *db::textOf(row[1]));
    }
    std::set<std::pair<std::string, std::string>> got;
    for (const auto& row : db.query("SELECT src_id, dst_id FROM memory_links")) {
      got.emplace(*db::textOf(row[0]), *db::textOf(row[1]));
    }
    EXPECT_GT(want.size(), 40u);
    EXPECT_EQ(got, want);
  }
}

// The summary that a run stores is what the code tables give at that moment, after a first
// run, a run with nothing changed and one with edits; and a later run trusts it (no writes)
// only while the project's counter has not moved.
TEST(CodeSummaries, TheStoredSummaryIsWhatTheTablesGive) {
  testing::TempHome home;
  testing::TestDatabase database;
  auto& db = database.db();
  const fs::path root = home.path() / "project";
  fs::copy(testing::fixturePath("server/connected"), root, fs::copy_options::recursive);
  const std::string project = root.string();
  auto check = [&](const char* step) {
    SCOPED_TRACE(step);
    auto stored = readStoredCodeSummary(project, db);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->summary, computeCodeSummary(project, db));
    EXPECT_GT(stored->summary.totalEdges, 0);
    EXPECT_FALSE(stored->summary.topConnectedFiles.empty());
  };
  ingestWith(db, root, {}, parseSourceFile);
  check("first run");
  const auto changes = *db::integerOf(*db.scalar("SELECT total_changes()"));
  ingestWith(db, root, {}, parseSourceFile);
  EXPECT_EQ(*db::integerOf(*db.scalar("SELECT total_changes()")), changes);
  check("nothing changed");
  writeFile(root / "src/d.ts", "import { A } from './a';\nexport class D extends A {}\n");
  ingestWith(db, root, {}, parseSourceFile);
  check("a file added");

  // Rows written behind ingestion's back raise the counter, and the summary is no longer used.
  bumpCodeGeneration(project, db);
  EXPECT_FALSE(readStoredCodeSummary(project, db).has_value());
  ingestWith(db, root, {}, parseSourceFile);
  check("after the counter moved");
}

// Inputs that change after a run (pairs mined after it) are scored at once and their digest is
// kept, so the next run over the unchanged tree writes nothing; figures found valid are never
// stamped with a counter that moved after they were read.
TEST(CodeSummaries, ScoresRefreshedAfterARunLeaveTheNextRunNothingToDo) {
  testing::TempHome home;
  testing::TestDatabase database;
  auto& db = database.db();
  const fs::path root = home.path() / "project";
  const std::string project = root.string();
  writeFile(root / "a.ts", "type Base 1 1\n");
  writeFile(root / "b.ts", "inherits B1 Base\n");
  ingestWith(db, root, {.parseThreads = 1});
  db.run("INSERT INTO co_changes (project, file_a, file_b, count) VALUES (?, 'b.ts', 'c.md', 3)",
         {db::text(project)});
  refreshFragilityScores(project, db);
  const std::string scores =
      "SELECT relative_path, fragility_score FROM code_files WHERE project = ? ORDER BY 1";
  const auto refreshed = db.query(scores, {db::text(project)});
  recomputeFragilityScores(project, db);
  EXPECT_EQ(db.query(scores, {db::text(project)}), refreshed);
  EXPECT_EQ(refreshed[1][1], db::Value(0.4));

  const auto changes = *db::integerOf(*db.scalar("SELECT total_changes()"));
  refreshFragilityScores(project, db);
  ingestWith(db, root, {.parseThreads = 1});
  EXPECT_EQ(*db::integerOf(*db.scalar("SELECT total_changes()")), changes);

  const auto known = readStoredCodeSummary(project, db);
  ASSERT_TRUE(known.has_value());
  bumpCodeGeneration(project, db);
  storeSummary(project, *known, std::string("other inputs"), true, db);
  EXPECT_FALSE(readStoredCodeSummary(project, db).has_value());
}

// With no file changed, scores are recomputed exactly when one of their other inputs changed:
// whatever happened between the runs, they equal a recomputation from scratch.
TEST(CodeSummaries, ScoresFollowEveryInputWhenNoFileChanged) {
  struct Case {
    std::string name;
    std::function<void(db::Connection&, const fs::path&)> between;
  };
  const std::vector<Case> cases = {
      {"nothing", [](db::Connection&, const fs::path&) {}},
      {"a co-change",
       [](db::Connection& db, const fs::path& home) {
         db.run(
             "INSERT INTO co_changes (project, file_a, file_b, count) VALUES (?, 'b.ts', "
             "'c.ts', 7)",
             {db::text((home / "project").string())});
       }},
      {"a build failure",
       [](db::Connection& db, const fs::path& home) {
         db.run(
             "INSERT INTO build_failures (project, timestamp, error_file, error_message) "
             "VALUES (?, ?, 'c.ts', 'boom')",
             {db::text((home / "project").string()), db::text(platform::currentTimestampText())});
       }},
      {"another project declaring the names",
       [](db::Connection& db, const fs::path& home) {
         // Declared twice, Base counts each of the project's edges to it twice there, which
         // raises the largest inbound count that every score is divided by.
         writeFile(home / "other/o.ts", "type Base 1 1\ntype Base 2 2\n");
         ingestWith(db, home / "other", {.parseThreads = 1});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempHome home;
    testing::TestDatabase database;
    auto& db = database.db();
    const fs::path root = home.path() / "project";
    writeFile(root / "a.ts", "type Base 1 1\n");
    writeFile(root / "b.ts", "inherits B1 Base\n");
    writeFile(root / "c.ts", "inherits C1 Base\nconforms C1 Base\n");
    db.run("INSERT INTO co_changes (project, file_a, file_b, count) VALUES (?, 'a.ts', 'b.ts', 2)",
           {db::text(root.string())});
    ingestWith(db, root, {.parseThreads = 1});
    c.between(db, home.path());
    ingestWith(db, root, {.parseThreads = 1});
    const std::string scores =
        "SELECT relative_path, fragility_score FROM code_files WHERE project = ? ORDER BY 1";
    const auto after = db.query(scores, {db::text(root.string())});
    recomputeFragilityScores(root.string(), db);
    EXPECT_EQ(db.query(scores, {db::text(root.string())}), after);
  }
}

}  // namespace
}  // namespace nodrel::codeintel

namespace nodrel::codeintel {
namespace {

constexpr const char* kCodeRowQueries[] = {
    "SELECT id, project, relative_path, language, content_hash FROM code_files ORDER BY rowid",
    "SELECT * FROM code_symbols ORDER BY id", "SELECT * FROM code_edges ORDER BY id",
    "SELECT * FROM code_file_stamps ORDER BY file_id"};

// A batch's files are written with no savepoint of their own: files whose write fails in the
// middle of the batch (the second after the batch was written anew), beside one that could
// not be read, take back only their own rows. The other files' rows, ids included, are those
// of a run over the tree without the failing files, and the errors keep the files' order.
TEST(IngestionBatches, FilesFailingInsideTheirBatchTakeBackOnlyTheirOwnRows) {
  testing::TempHome home;
  const fs::path root = home.path() / "project";
  for (int i = 0; i < 12; ++i) {
    std::string text = "type T" + std::to_string(i) + " 1 9\nfunc f 2 3\nimport ./m0\n";
    if (i == 5 || i == 10) text += "import boom\n";
    writeFile(root / (testing::numbered("m", i) + ".ts"), text);
  }
  writeFile(root / "m8.ts", std::string("func x 1 1\n\xff\xfe", 13));

  for (unsigned threads : {1u, 4u}) {
    SCOPED_TRACE(threads);
    const IngestionOptions options{.parseThreads = threads, .settledAfter = {}};
    testing::TestDatabase database;
    database.db().exec(
        "CREATE TRIGGER refuse_boom BEFORE INSERT ON code_edges WHEN NEW.to_symbol = 'boom' "
        "BEGIN SELECT RAISE(ABORT, 'edge refused'); END;");
    auto result = ingestWith(database.db(), root, options);
    EXPECT_EQ(result.filesParsed, 9);
    std::vector<std::string> errors;  // in discovery order, which the run keeps
    for (const auto& file : discoverSourceFiles(root, kMaxSourceFiles)) {
      const std::string name = file.filename().string();
      if (name == "m5.ts" || name == "m10.ts") {
        errors.push_back(name + ": SQLite error 1811: edge refused");
      }
      if (name == "m8.ts") errors.push_back("m8.ts: not valid UTF-8 text");
    }
    EXPECT_EQ(result.errors, errors);

    // The same tree without the failing files, into a database of its own.
    for (const char* name : {"m5.ts", "m10.ts"}) fs::rename(root / name, home.path() / name);
    testing::TestDatabase plain;
    auto without = ingestWith(plain.db(), root, options);
    for (const char* name : {"m5.ts", "m10.ts"}) fs::rename(home.path() / name, root / name);
    EXPECT_EQ(without.symbolsExtracted, result.symbolsExtracted);
    EXPECT_EQ(without.edgesCreated, result.edgesCreated);
    for (const char* sql : kCodeRowQueries) {
      SCOPED_TRACE(sql);
      EXPECT_EQ(rows(database.db(), sql), rows(plain.db(), sql));
    }
  }
}

// A run killed part way keeps the batches it committed, each file whole, and loses the files
// of its open batch; the next run writes those.
TEST(IngestionBatches, ARunKilledPartWayLeavesWholeFilesOnly) {
  testing::TempHome home;
  const fs::path root = home.path() / "project";
  for (int i = 0; i < 12; ++i) {
    writeFile(root / (testing::numbered("m", i) + ".ts"),
              "type T 1 9\nfunc f 2 3\nfunc g 4 5\nimport ./m" + std::to_string(i) + "\n");
  }
  const auto order = discoverSourceFiles(root, kMaxSourceFiles);
  ASSERT_EQ(order.size(), 12u);
  testing::TestDatabase database;
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    // Parsed on the writer's thread, in order: the fourth file outlasts a batch, so the batch
    // ending with it commits; the eighth kills the run while the next batch is open.
    int parsed = 0;
    auto parser = [&](std::string_view content, std::string_view language) {
      if (++parsed == 4) std::this_thread::sleep_for(std::chrono::milliseconds(600));
      if (parsed == 8) ::kill(::getpid(), SIGKILL);
      return fakeParse(content, language);
    };
    auto db = db::Connection::open(database.path());
    ingestWith(db, root, {.parseThreads = 1, .settledAfter = {}}, parser);
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(WTERMSIG(status), SIGKILL);

  auto& db = database.db();
  std::vector<db::Row> stored, wanted;
  for (const auto& row : rows(db, "SELECT relative_path FROM code_files ORDER BY rowid")) {
    stored.push_back(row);
  }
  for (std::size_t i = 0; i < 4; ++i) wanted.push_back({db::text(order[i].filename().string())});
  EXPECT_EQ(stored, wanted);
  // Every stored file has all of its rows.
  EXPECT_EQ(rows(db,
                 "SELECT cf.relative_path FROM code_files cf WHERE "
                 "(SELECT COUNT(*) FROM code_symbols s WHERE s.file_id = cf.id) != 3 OR "
                 "(SELECT COUNT(*) FROM code_edges e WHERE e.file_id = cf.id "
                 "AND e.edge_type != 'references') != 3"),
            std::vector<db::Row>{});

  auto next = ingestWith(db, root, {.parseThreads = 1, .settledAfter = {}});
  EXPECT_EQ(next.filesParsed, 8);
  EXPECT_EQ(next.filesSkipped, 4);
  EXPECT_EQ(*db::integerOf(*db.scalar("SELECT COUNT(*) FROM code_symbols")), 36);
}

}  // namespace
}  // namespace nodrel::codeintel
