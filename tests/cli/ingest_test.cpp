// `nodrel ingest` on real git repositories made for the test under a temporary HOME.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/run_program.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

class Repository {
 public:
  explicit Repository(fs::path root) : root_(std::move(root)) {
    fs::create_directories(root_);
    git({"init", "-q", "."});
  }
  const fs::path& root() const { return root_; }

  void commit(const std::vector<std::string>& names) {
    for (const auto& name : names) {
      const fs::path file = root_ / name;
      fs::create_directories(file.parent_path());
      std::ofstream(file, std::ios::app) << "// " << ++edits_ << "\n";
    }
    git({"add", "-A"});
    git({"-c", "user.name=T", "-c", "user.email=t@example.com", "-c", "commit.gpgsign=false",
         "commit", "-q", "-m", "change " + std::to_string(edits_)});
  }

  void git(std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", root_.string()});
    auto run = testing::runProgram("/usr/bin/git", args, "");
    ASSERT_EQ(run.status, 0) << run.err;
  }

 private:
  fs::path root_;
  int edits_ = 0;
};

std::vector<std::string> numbered(const std::string& prefix, int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(prefix + std::to_string(100 + i) + ".py");
  return names;
}

TEST(Ingest, RefusesMissingPathArguments) {
  testing::TempHome home;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"--path"}, {"--path=/tmp"}, {"/tmp", "--path"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    std::vector<std::string> all = {"ingest"};
    all.insert(all.end(), args.begin(), args.end());
    auto run = testing::runNodrel(all);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "Usage: nodrel ingest --path PATH\n");
  }
  auto run = testing::runNodrel({"ingest", "--path", (home.path() / "nope").string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nodrel: directory not found: " + (home.path() / "nope").string() + "\n");
  EXPECT_FALSE(fs::exists(home.databasePath()));
}

TEST(Ingest, RefusesTheFilesystemRootAndTheHomeItself) {
  testing::TempHome home;
  home.openDatabase();
  const std::string homePath = home.path().string();
  const std::pair<std::string, std::string> cases[] = {
      {"/", "refusing to ingest the filesystem root (/); name a project directory"},
      {homePath, "refusing to ingest the home directory itself (" + homePath +
                     "); name a project directory inside it"},
  };
  for (const auto& [path, error] : cases) {
    SCOPED_TRACE(path);
    auto run = testing::runNodrel({"ingest", "--path", path});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "nodrel: ingestion failed: " + error + "\n");
  }
  EXPECT_EQ(db::integerOf(*home.openDatabase().scalar("SELECT COUNT(*) FROM code_files")), 0);
}

TEST(Ingest, IndexesAndCountsCoChangesOnceUnderTheFilesKey) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "repo");
  repo.commit({"b.py", "a.py"});
  repo.commit(numbered("bulk/f", 21));
  repo.commit({"a.py"});
  repo.commit(numbered("twenty/f", 20));
  const std::vector<std::string> odd = {
      "with space.py", "---", "x---y.txt", " lead.txt", "\xc3\xa9t\xc3\xa9.txt", "new\nline.txt"};
  repo.commit(odd);
  const std::string path = repo.root().string();

  auto run = testing::runNodrel({"ingest", "--path", path, "--verbose"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const auto lines = testing::splitLines(run.out);
  ASSERT_EQ(lines.size(), 8u) << run.out;
  EXPECT_EQ(lines[0], "Ingestion complete: " + path);
  EXPECT_EQ(lines[1], "  Files discovered:  44");
  EXPECT_EQ(lines[2], "  Files parsed:      44");
  EXPECT_EQ(lines[3], "  Files skipped:     0");
  EXPECT_EQ(lines[4].rfind("  Symbols extracted: ", 0), 0u);
  EXPECT_EQ(lines[5].rfind("  Edges created:     ", 0), 0u);
  EXPECT_EQ(lines[6], "Running co-change analysis...");
  EXPECT_EQ(lines[7], "Co-change analysis complete.");

  auto db = home.openDatabase();
  const auto pairs = [&] {
    return db.query(
        "SELECT project, file_a, file_b, count FROM co_changes "
        "ORDER BY file_a, file_b");
  };
  const auto first = pairs();
  EXPECT_EQ(first.size(), 1u + 190u + 15u);
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT count FROM co_changes WHERE file_a = 'a.py' AND "
                                     "file_b = 'b.py'")),
            1);
  // Odd names arrive as git stores them, and pair up with each other.
  for (const auto& name : odd) {
    SCOPED_TRACE(name);
    EXPECT_EQ(
        db::integerOf(*db.scalar("SELECT COUNT(*) FROM co_changes WHERE file_a = ?1 OR file_b = ?1",
                                 {db::text(name)})),
        5);
  }
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM co_changes WHERE file_a >= file_b")), 0);
  EXPECT_EQ(db.query("SELECT DISTINCT project FROM co_changes"), (std::vector<db::Row>{{path}}));

  // However often and however the path is typed (a trailing "/", ".", relative to the working
  // directory), the pairs stay one set under the key the code files have, each counted once.
  const std::string relative = fs::relative(repo.root(), fs::current_path()).string();
  for (const std::string& spelling : {path, path + "/", path + "/.", path + "//./", relative}) {
    SCOPED_TRACE(spelling);
    auto again = testing::runNodrel({"ingest", "--path", spelling});
    ASSERT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(testing::splitLines(again.out)[0], "Ingestion complete: " + path);
    EXPECT_EQ(testing::splitLines(again.out)[3], "  Files skipped:     44");
    EXPECT_EQ(pairs(), first);
  }
  EXPECT_EQ(db.query("SELECT DISTINCT project FROM code_files"), (std::vector<db::Row>{{path}}));
  EXPECT_EQ(db::integerOf(*db.scalar(
                "SELECT COUNT(*) FROM co_changes cc JOIN code_files a ON a.project = cc.project "
                "AND a.relative_path = cc.file_a JOIN code_files b ON b.project = cc.project AND "
                "b.relative_path = cc.file_b WHERE cc.file_a = 'a.py'")),
            1);
}

TEST(Ingest, ProjectInASubfolderOfItsRepositoryPairsItsOwnFiles) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "mono");
  repo.commit({"services/api/handlers.py", "services/api/models.py", "README.md"});
  repo.commit({"services/api/models.py", "services/web/view.py"});
  repo.commit({"services/api/handlers.py", "services/api/models.py"});
  repo.commit({"services/web/view.py", "services/web/style.py"});
  std::vector<std::string> sweep = numbered("services/api/gen/f", 2);
  for (const auto& name : numbered("vendor/v", 19)) sweep.push_back(name);
  repo.commit(sweep);  // 21 files, 2 of them in the project: still a sweeping change

  const fs::path project = repo.root() / "services" / "api";
  auto run = testing::runNodrel({"ingest", "--path", project.string() + "/"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto db = home.openDatabase();
  EXPECT_EQ(
      db.query("SELECT project, file_a, file_b, count FROM co_changes"),
      (std::vector<db::Row>{{project.string(), "handlers.py"s, "models.py"s, std::int64_t{2}}}));
  // The pair names the files as ingestion stored them, so impact and fragility find it.
  EXPECT_EQ(db::integerOf(
                *db.scalar("SELECT COUNT(*) FROM code_files WHERE project = ? AND relative_path IN "
                           "('handlers.py', 'models.py')",
                           {db::text(project.string())})),
            2);
}

// Mining reads the whole window again, so a run over an unchanged history leaves the pairs as
// they are; a commit elsewhere in the repository changes nothing of the folder's history.
TEST(Ingest, MinesTheHistoryAgainOnlyWhenTheFolderHistoryChanged) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "mono");
  repo.commit({"app/a.py", "app/b.py"});
  const std::string project = (repo.root() / "app").string();
  auto db = home.openDatabase();
  const auto pairs = [&] {
    return db.query(
        "SELECT file_a, file_b, count, last_seen FROM co_changes ORDER BY file_a, "
        "file_b");
  };
  const auto head = [&] {
    return testing::runProgram("/usr/bin/git", {"-C", repo.root().string(), "rev-parse", "HEAD"},
                               "")
        .out.substr(0, 40);
  };
  const auto mined = [&] {
    return db.query("SELECT last_commit FROM co_change_minings WHERE project = ?",
                    {db::text(project)});
  };

  ASSERT_EQ(testing::runNodrel({"ingest", "--path", project}).status, 0);
  const auto first = pairs();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(mined(), (std::vector<db::Row>{{head()}}));
  const std::string firstHead = head();

  ASSERT_EQ(testing::runNodrel({"ingest", "--path", project}).status, 0);
  EXPECT_EQ(pairs(), first);
  repo.commit({"docs/x.md", "docs/y.md"});
  ASSERT_EQ(testing::runNodrel({"ingest", "--path", project}).status, 0);
  EXPECT_EQ(pairs(), first);
  EXPECT_EQ(mined(), (std::vector<db::Row>{{firstHead}}));
  // Where HEAD now stands is kept, so the next run need not ask git.
  EXPECT_EQ(db.query("SELECT head_commit FROM co_change_minings"),
            (std::vector<db::Row>{{head()}}));

  repo.commit({"app/a.py", "app/c.py"});
  auto run = testing::runNodrel({"ingest", "--path", project});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::splitLines(run.out).back(), "Co-change analysis complete.");
  const auto after = pairs();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0][0], db::text("a.py"));
  EXPECT_EQ(after[0][2], db::Value(std::int64_t{1}));
  EXPECT_EQ(after[1][1], db::text("c.py"));
  EXPECT_EQ(mined(), (std::vector<db::Row>{{head()}}));
}

// While HEAD stays put the history is known unchanged from the repository's files: git is not
// asked (a config git refuses would make it fail loudly), and the pairs stay as mined. Another
// branch checked out, or the first one again, is a history of its own and is mined.
TEST(Ingest, UnchangedHeadNeedsNoGitAndACheckoutIsMinedAgain) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "repo");
  repo.commit({"a.py", "b.py"});
  const std::string project = repo.root().string();
  auto db = home.openDatabase();
  const auto pairs = [&] {
    return db.query("SELECT file_a, file_b, count, last_seen FROM co_changes ORDER BY 1, 2");
  };
  const auto ingest = [&] {
    auto run = testing::runNodrel({"ingest", "--path", project});
    EXPECT_EQ(run.status, 0) << run.err;
    return run;
  };
  ingest();
  const auto onMain = pairs();
  ASSERT_EQ(onMain.size(), 1u);

  repo.git({"pack-refs", "--all"});
  const fs::path config = repo.root() / ".git" / "config";
  const fs::path saved = home.path() / "config";
  fs::copy_file(config, saved);
  std::ofstream(config, std::ios::app) << "[broken\n";
  EXPECT_EQ(ingest().err, "");
  EXPECT_EQ(pairs(), onMain);
  fs::copy_file(saved, config, fs::copy_options::overwrite_existing);

  repo.git({"checkout", "-q", "-b", "other"});
  repo.commit({"a.py", "c.py"});
  ingest();
  EXPECT_EQ(pairs().size(), 2u);

  repo.git({"checkout", "-q", "-"});
  ingest();
  const auto back = pairs();
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0][1], db::text("b.py"));
  EXPECT_EQ(back[0][2], db::Value(std::int64_t{1}));
}

// The pairs mined after the files are scored by the same command: the scores reflect the
// history at once, and the next run over an unchanged tree and history has nothing to
// recompute (what it keeps for the next run stays as it was).
TEST(Ingest, ScoresTheMinedPairsInTheSameCommand) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "repo");
  repo.commit({"a.py", "b.py"});
  repo.commit({"a.py", "b.py"});
  repo.commit({"c.py"});
  const std::string project = repo.root().string();
  auto db = home.openDatabase();
  const auto scores = [&] {
    std::map<std::string, double> byPath;
    for (const auto& row : db.query("SELECT relative_path, fragility_score FROM code_files")) {
      byPath[*db::textOf(row[0])] = db::realOf(row[1]).value_or(-1.0);
    }
    return byPath;
  };
  const auto kept = [&] { return db.query("SELECT * FROM code_summaries"); };
  const auto ingest = [&] {
    auto run = testing::runNodrel({"ingest", "--path", project});
    ASSERT_EQ(run.status, 0) << run.err;
  };

  ingest();
  // No file declares or uses a name: the co-change term alone, a and b at the most pairs.
  EXPECT_EQ(scores(), (std::map<std::string, double>{{"a.py", 0.4}, {"b.py", 0.4}, {"c.py", 0.0}}));
  const auto afterFirst = kept();
  ASSERT_EQ(afterFirst.size(), 1u);
  ingest();
  EXPECT_EQ(kept(), afterFirst);
  EXPECT_EQ(scores(), (std::map<std::string, double>{{"a.py", 0.4}, {"b.py", 0.4}, {"c.py", 0.0}}));

  // A new commit changes the files and the history alike: both are scored in one command.
  repo.commit({"a.py", "c.py"});
  ingest();
  EXPECT_EQ(scores(), (std::map<std::string, double>{
                          {"a.py", 0.4}, {"b.py", 2.0 / 3.0 * 0.4}, {"c.py", 1.0 / 3.0 * 0.4}}));
  const auto afterCommit = kept();
  ingest();
  EXPECT_EQ(kept(), afterCommit);
}

// A store whose mining table predates the HEAD column keeps its row and gains the column.
TEST(Ingest, MiningTableWithoutHeadColumnIsExtended) {
  testing::TempHome home;
  Repository repo(home.path() / "repo");
  repo.commit({"a.py", "b.py"});
  const std::string project = repo.root().string();
  auto db = home.openDatabase();
  db.exec(
      "CREATE TABLE co_change_minings (project TEXT PRIMARY KEY NOT NULL, last_commit TEXT NOT "
      "NULL, mined_at TEXT NOT NULL)");
  db.run("INSERT INTO co_change_minings VALUES (?, 'old', 'then')", {db::text(project)});
  auto run = testing::runNodrel({"ingest", "--path", project});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto rows = db.query("SELECT last_commit, head_commit FROM co_change_minings");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], rows[0][1]);
  EXPECT_EQ(db.query("SELECT count(*) FROM co_changes"), (std::vector<db::Row>{{std::int64_t{1}}}));
}

TEST(Ingest, HistoryLargerThanAPipeIsDrained) {
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "repo");
  std::vector<std::string> many;
  for (int i = 0; i < 1500; ++i) {
    many.push_back("docs/a-rather-long-directory-name/document-" + std::to_string(i) + ".txt");
  }
  repo.commit(many);
  repo.commit({"x.txt", "y.txt"});
  auto run = testing::runNodrel({"ingest", "--path", repo.root().string()});
  ASSERT_EQ(run.status, 0) << run.err;
  auto db = home.openDatabase();
  EXPECT_EQ(db.query("SELECT file_a, file_b FROM co_changes"),
            (std::vector<db::Row>{{"x.txt"s, "y.txt"s}}));
}

TEST(Ingest, DirectoryOutsideGitStillSucceeds) {
  testing::TempHome home;
  home.openDatabase();
  const fs::path project = home.path() / "plain";
  fs::create_directories(project);
  std::ofstream(project / "main.py") << "import os\n";
  auto run = testing::runNodrel({"ingest", "--path", project.string()});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "[nodrel] CoChangeAnalyzer git exited with status 128\n");
  EXPECT_TRUE(run.out.ends_with("Running co-change analysis...\nCo-change analysis complete.\n"));
  EXPECT_EQ(db::integerOf(*home.openDatabase().scalar("SELECT COUNT(*) FROM co_changes")), 0);
}

// Ingesting may come before `nodrel-app init`: the data directory and the tables are made.
TEST(Ingest, OnAnEmptyHomeMakesTheDatabase) {
  testing::TempHome home;
  const fs::path project = home.path() / "plain";
  fs::create_directories(project);
  std::ofstream(project / "main.py") << "import os\n";
  auto run = testing::runNodrel({"ingest", "--path", project.string()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(db::integerOf(*home.openDatabase().scalar("SELECT COUNT(*) FROM code_files")), 1);
}

TEST(Ingest, RegularFileFailsAsIngestion) {
  testing::TempHome home;
  home.openDatabase();
  const fs::path file = home.path() / "file.py";
  std::ofstream(file) << "x = 1\n";
  auto run = testing::runNodrel({"ingest", "--path", file.string()});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err.rfind("nodrel: ingestion failed: ", 0), 0u) << run.err;
}

// A second assistant window: the server takes a write every 10 ms while `nodrel ingest` runs.
// Each batch of the ingestion, which reads before it writes, waits its turn for the write lock
// instead of failing at once with "database is locked", and no write of the server is lost.
// The writes go on until the ingestion has ended and at least kWrites were sent, so the test asks
// the same of a quiet machine as of a busy one.
TEST(Ingest, SharesTheDatabaseWithAServerThatKeepsWriting) {
  constexpr int kWrites = 20;
  testing::TempHome home;
  home.openDatabase();
  Repository repo(home.path() / "repo");
  std::vector<std::string> sources;
  fs::create_directories(repo.root() / "pkg");
  for (int i = 0; i < 300; ++i) {
    const std::string name = "pkg/module" + std::to_string(i) + ".py";
    std::ofstream(repo.root() / name)
        << "import os\nfrom pkg import module" << (i + 1) % 300 << "\n\n"
        << "class Handler" << i << ":\n    def run(self):\n        return os.getcwd()\n\n"
        << "def helper" << i << "(value):\n    return value * " << i << "\n";
    sources.push_back(name);
  }
  repo.commit(sources);

  testing::RunningProgram server(testing::binaryPath("server/NodrelMCP"), {}, home.path());
  std::atomic<bool> ingested = false;
  std::atomic<int> sent = 0;
  std::thread writer([&] {
    while (!ingested || sent < kWrites) {
      const std::string call = testing::toolCall(
          sent + 1, "nodrel_remember",
          {{"project_path", "/work/other"},
           {"content", "Note " + std::to_string(sent) + " from the other window"}});
      if (!server.send(call)) break;
      ++sent;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  const auto run = testing::runNodrel({"ingest", "--path", repo.root().string()});
  ingested = true;
  writer.join();
  const auto served = server.finish();
  const int total = sent;

  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("locked"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("Files parsed:      300\n"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("Symbols extracted: 900\n"), std::string::npos) << run.out;
  EXPECT_GE(total, kWrites);
  int succeeded = 0;
  for (const auto& line : testing::splitLines(served.out)) {
    const auto result = testing::toolResult(nlohmann::json::parse(line));
    if (result.value("success", false)) {
      ++succeeded;
    } else {
      ADD_FAILURE() << result;
    }
  }
  EXPECT_EQ(succeeded, total);
  auto db = home.openDatabase();
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM memories")), total);
  EXPECT_EQ(db::integerOf(*db.scalar("SELECT COUNT(*) FROM code_files")), 300);
}

}  // namespace
}  // namespace nodrel
