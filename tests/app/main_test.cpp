// Runs the built nodrel-app with a scratch HOME, as a user would.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/schema.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<db::Row> schemaDump(db::Connection& c) {
  return c.query("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name");
}

TEST(NodrelAppInit, CreatesTheDataDirectoryAndEveryTable) {
  testing::TempHome home;
  auto run = testing::runApp({"init"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "initialised " + home.databasePath().string() + "\n");
  EXPECT_EQ(run.err, "");

  ASSERT_TRUE(std::filesystem::is_regular_file(home.databasePath()));
  auto c = db::Connection::open(home.databasePath());
  std::set<std::string> tables;
  for (const auto& row : c.query("SELECT name FROM sqlite_master WHERE type = 'table'")) {
    tables.insert(*db::textOf(row[0]));
  }
  for (const auto& name : db::schemaTableNames()) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(tables.count(name));
  }
}

TEST(NodrelAppInit, FollowsXdgDataHome) {
  testing::TempHome home;  // restores XDG_DATA_HOME afterwards
  const auto xdg = home.path() / "xdg data";
  setenv("XDG_DATA_HOME", xdg.c_str(), 1);
  auto run = testing::runApp({"init"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "initialised " + (xdg / "Nodrel/nodrel.db").string() + "\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(xdg / "Nodrel/nodrel.db"));
  EXPECT_FALSE(std::filesystem::exists(home.dataDirectory()));
}

TEST(NodrelAppInit, AgainChangesNothingAndLosesNothing) {
  testing::TempHome home;
  ASSERT_EQ(testing::runApp({"init"}).status, 0);
  std::vector<db::Row> before;
  {
    auto c = db::Connection::open(home.databasePath());
    c.run("INSERT INTO projects (id, name, path, created_at) VALUES ('P', 'app', '/app', 't')");
    c.run(
        "INSERT INTO memories (id, tier, body, created_at, last_accessed) "
        "VALUES ('m', 'episodic', 'kept', 't', 't')");
    c.run(
        "INSERT INTO memories_fts(rowid, body, tags) "
        "SELECT rowid, body, '' FROM memories WHERE id = 'm'");
    before = schemaDump(c);
  }
  auto run = testing::runApp({"init"});
  EXPECT_EQ(run.status, 0) << run.err;
  auto c = db::Connection::open(home.databasePath());
  EXPECT_EQ(schemaDump(c), before);
  EXPECT_EQ(c.scalar("SELECT name FROM projects WHERE id = 'P'"), db::Value("app"));
  EXPECT_EQ(c.scalar("SELECT m.body FROM memories_fts JOIN memories m ON m.rowid = "
                     "memories_fts.rowid WHERE memories_fts MATCH 'kept'"),
            db::Value("kept"));
}

// The server may have run before the app: it makes the file, session_context and nothing else.
TEST(NodrelAppInit, CompletesADatabaseTheServerStarted) {
  testing::TempHome home;
  std::filesystem::create_directories(home.dataDirectory());
  {
    auto c = db::Connection::open(home.databasePath(), {.create = true});
    c.exec(
        "CREATE TABLE IF NOT EXISTS session_context ( id TEXT PRIMARY KEY, session_id TEXT, "
        "project_id TEXT NOT NULL, surface TEXT NOT NULL, context_type TEXT NOT NULL "
        "CHECK(context_type IN ('decision', 'state', 'key_point', 'handoff')), content TEXT NOT "
        "NULL, created_at TEXT NOT NULL, FOREIGN KEY(session_id) REFERENCES session_stats(id) "
        "ON DELETE SET NULL, FOREIGN KEY(project_id) REFERENCES projects(id) ON DELETE CASCADE "
        ");");
  }
  ASSERT_EQ(testing::runApp({"init"}).status, 0);
  auto c = db::Connection::open(home.databasePath());
  c.run("INSERT INTO projects (id, name, path, created_at) VALUES ('P', 'app', '/app', 't')");
  EXPECT_NO_THROW(
      c.run("INSERT INTO session_context (id, session_id, project_id, surface, "
            "context_type, content, created_at) VALUES (?, ?, ?, ?, ?, ?, ?)",
            {db::text("C"), db::Null{}, db::text("P"), db::text("claude_code"),
             db::text("decision"), db::text("use WAL"), db::text("t")}));
}

TEST(NodrelAppInit, FailsWithoutTouchingWhatIsInTheWay) {
  struct Case {
    std::string name;
    bool fileAtDataDirectory;  // else: a database file that is not SQLite
  };
  const Case cases[] = {{"data directory is a file", true}, {"database is not SQLite", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempHome home;
    const std::string junk = "not a database, keep me\n";
    const auto victim = c.fileAtDataDirectory ? home.dataDirectory() : home.databasePath();
    std::filesystem::create_directories(victim.parent_path());
    std::ofstream(victim, std::ios::binary) << junk;

    auto run = testing::runApp({"init"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind("nodrel-app: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(readFile(victim), junk);
  }
}

TEST(NodrelAppUsage, UnknownOrMissingCommandsPrintUsage) {
  testing::TempHome home;
  struct Case {
    std::vector<std::string> args;
    int status;
    bool usageOnStdout;
  };
  const Case cases[] = {
      {{}, 2, false},       {{"bogus"}, 2, false}, {{"init", "extra"}, 2, false},
      {{"INIT"}, 2, false}, {{"--help"}, 0, true},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    SCOPED_TRACE(joined);
    auto run = testing::runApp(c.args);
    EXPECT_EQ(run.status, c.status);
    const std::string& usage = c.usageOnStdout ? run.out : run.err;
    EXPECT_EQ(usage.find("Usage: nodrel-app init"), usage.rfind("Usage: nodrel-app init"));
    EXPECT_NE(usage.find("Usage: nodrel-app init"), std::string::npos);
    EXPECT_EQ((c.usageOnStdout ? run.err : run.out), "");
    // Nothing is created unless init ran.
    EXPECT_FALSE(std::filesystem::exists(home.dataDirectory()));
  }
}

}  // namespace
}  // namespace nodrel
