// `nodrel status` and `nodrel statusline` as a user and the assistant run them.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/files.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;

const std::string kRule =
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
    "\u2500\u2500\u2500\u2500\u2500\u2500\u2500";

void addMemory(db::Connection& db, const std::string& id, const std::string& tier,
               const std::string& project = "/elsewhere", bool deleted = false) {
  db.run("INSERT INTO memories (id, tier, body, project, deleted_at) VALUES (?, ?, 'b', ?, ?)",
         {db::text(id), db::text(tier), db::text(project),
          deleted ? db::text("2026-01-01T00:00:00.000+0000") : db::Value(db::Null{})});
}

void addProject(db::Connection& db, const std::string& path, const std::string& name) {
  db.run("INSERT INTO projects (id, name, path) VALUES (?, ?, ?)",
         {db::text(name), db::text(name), db::text(path)});
}

TEST(Status, WithoutADatabase) {
  testing::TempHome home;
  auto run = testing::runNodrel({"status"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out, "Nodrel status\n" + kRule + "\nDatabase : " + home.databasePath().string() +
                         "\nStatus   : database not found \u2014 run nodrel-app init to create "
                         "it\nHook     : not installed\nSnapshots: 0\n");
}

// A memory forgotten through the companion no longer counts.
TEST(Status, CountsLiveMemoriesOnly) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    addMemory(db, "0123456789abcdef", "episodic");
    addMemory(db, "fedcba9876543210", "episodic");
  }
  const std::string head =
      "Nodrel status\n" + kRule + "\nDatabase : " + home.databasePath().string() + "\nMemories : ";
  EXPECT_EQ(testing::runNodrel({"status"}).out.rfind(head + "2 total\n  episodic    2\n", 0), 0u);
  auto forget = testing::runApp({"forget", "0123456789abcdef"});
  ASSERT_EQ(forget.status, 0) << forget.err;
  EXPECT_EQ(testing::runNodrel({"status"}).out.rfind(head + "1 total\n  episodic    1\n", 0), 0u);
}

TEST(Status, CountsTiersSnapshotsAndTheHook) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    for (const char* id : {"a", "b", "c"}) addMemory(db, id, "episodic");
    addMemory(db, "d", "cold");
    addMemory(db, "e", "archived");                                  // not a tier
    addMemory(db, "f", "semantic", "/elsewhere", /*deleted=*/true);  // forgotten
  }
  const std::string head = "Nodrel status\n" + kRule +
                           "\nDatabase : " + home.databasePath().string() +
                           "\nMemories : 4 total\n  episodic    3\n  cold        1\n";
  auto run = testing::runNodrel({"status"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, head + "Snapshots: 0\nHook     : not installed\n");

  // The hooks are written even while the program they run is not in place (which enable-hook
  // reports with status 1).
  ASSERT_NE(testing::runNodrel({"enable-hook"}).out, "");
  ASSERT_EQ(testing::runNodrel({"snapshot", "save", "--label", "one"}).status, 0);
  ASSERT_EQ(testing::runNodrel({"snapshot", "save", "--label", "two"}).status, 0);
  run = testing::runNodrel({"status"});
  EXPECT_EQ(run.out, head + "Snapshots: 2\nHook     : installed\n");

  // A broken index or settings file reads as none.
  platform::atomicWriteFile(home.dataDirectory() / "backups/snapshots.json", "{");
  platform::atomicWriteFile(home.path() / ".claude/settings.json", "[]");
  run = testing::runNodrel({"status"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, head + "Snapshots: 0\nHook     : not installed\n");
}

TEST(Status, ADatabaseThatDoesNotOpen) {
  testing::TempHome home;
  fs::create_directories(home.databasePath());  // exists, but is no database
  auto run = testing::runNodrel({"status"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(testing::splitLines(run.out).size(), 3u);
  EXPECT_TRUE(run.err.starts_with("nodrel status: could not open database: ")) << run.err;

  run = testing::runNodrel({"statusline", "--cwd", "/p"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.out.starts_with("\u25cb Nodrel \u00b7 ")) << run.out;
  EXPECT_EQ(testing::splitLines(run.out).size(), 1u);
}

TEST(Statusline, WithoutADatabase) {
  testing::TempHome home;
  auto run = testing::runNodrel({"statusline"}, "{\"cwd\": \"/p\"}");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "\u25cb Nodrel \u00b7 no database\n");
}

TEST(Statusline, FindsTheProjectOfTheDirectory) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    addProject(db, "/work/app", "app");
    addProject(db, "/work/lib", "lib");
    addProject(db, "/deep/a/b", "deep");
    addProject(db, "/top", "top");
    addMemory(db, "1", "episodic", "/work/app");
    addMemory(db, "2", "semantic", "/work/app");
    addMemory(db, "3", "cold", "/work/app", /*deleted=*/true);
    addMemory(db, "4", "episodic", "/work/lib");
  }
  const std::string app = "\u25cf Nodrel \u00b7 app \u00b7 2 memories\n";
  const std::string lib = "\u25cf Nodrel \u00b7 lib \u00b7 1 memory\n";
  const std::string deep = "\u25cf Nodrel \u00b7 deep \u00b7 0 memories\n";
  const std::string none = "\u25cb Nodrel \u00b7 no project match\n";
  setenv("PWD", "/work/lib", 1);
  struct Case {
    std::vector<std::string> args;
    std::string input;
    std::string want;
  };
  const std::string payload =
      R"({"workspace": {"current_dir": "/work/app/src"}, "cwd": "/work/lib"})";
  const Case cases[] = {
      {{"--cwd", "/work/app"}, "not even json", app},  // stdin is not read
      {{"--cwd", "/work/app", "--cwd", "/work/lib"}, "", app},
      {{"--cwd"}, payload, app},
      {{}, payload, app},
      {{}, R"({"cwd": "/work/app"})", app},
      {{}, R"({"workspace": "x", "cwd": "/work/app"})", app},
      {{}, "", lib},  // falls back to PWD
      {{}, "not json", lib},
      {{}, R"(["/work/app"])", lib},
      {{"--cwd", "/deep/a/b/c/d/e"}, "", deep},  // the fourth lookup
      {{"--cwd", "/top/a/b/c/d"}, "", none},     // would be the fifth
      {{"--cwd", "/work/app/"}, "", app},        // one project however the directory is spelt
      {{"--cwd", "/work/./lib//"}, "", lib},
      {{"--cwd", ""}, "", none},
      {{"--cwd", "/"}, "", none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::splitLines(c.input).empty() ? "" : c.input);
    std::vector<std::string> args = {"statusline"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = testing::runNodrel(args, c.input);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, c.want) << (c.args.empty() ? "" : c.args.back());
  }
  unsetenv("PWD");
}

// The journal mode in the database file's header: 1 rollback journal, 2 WAL.
int journalFormat(const fs::path& database) {
  const auto bytes = platform::readFile(database, 100);
  return bytes && bytes->size() > 18 ? (*bytes)[18] : -1;
}

// The three commands that only read must neither write (switching the journal mode is a write)
// nor need to: a database on read-only media or in a read-only directory still reads.
TEST(ReadOnlyCommands, NeitherWriteNorNeedToWrite) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    addProject(db, "/work/app", "app");
    addMemory(db, "1", "episodic", "/work/app");
    db.exec("PRAGMA journal_mode=DELETE;");
  }
  const auto check = [&](const std::function<testing::ProgramRun(std::vector<std::string>)>& run) {
    auto status = run({"status"});
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_NE(status.out.find("Memories : 1 total\n"), std::string::npos) << status.out;
    auto line = run({"statusline", "--cwd", "/work/app"});
    EXPECT_EQ(line.out, "\u25cf Nodrel \u00b7 app \u00b7 1 memory\n");
    auto context = run({"context", "--cwd", "/work/app"});
    EXPECT_EQ(context.status, 0) << context.err;
    EXPECT_NE(context.out.find("Loaded: 1 memories"), std::string::npos) << context.out;
  };
  {
    SCOPED_TRACE("a database in another journal mode");
    check([](std::vector<std::string> args) { return testing::runNodrel(args); });
    EXPECT_EQ(journalFormat(home.databasePath()), 1);
  }
  {
    SCOPED_TRACE("a WAL database in a directory that cannot be written");
    home.openDatabase().exec("PRAGMA journal_mode=WAL;");
    ASSERT_EQ(journalFormat(home.databasePath()), 2);
    ASSERT_FALSE(fs::exists(home.databasePath().string() + "-shm"));
    fs::permissions(home.dataDirectory(), fs::perms::owner_read | fs::perms::owner_exec |
                                              fs::perms::group_read | fs::perms::group_exec |
                                              fs::perms::others_read | fs::perms::others_exec);
    // Root writes in any directory, so as root the commands run as nobody.
    check([](std::vector<std::string> args) {
      if (::geteuid() != 0) return testing::runNodrel(args);
      args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups", "--",
                                 testing::binaryPath("cli/nodrel").string()});
      return testing::runProgram("/usr/bin/setpriv", args, "");
    });
    EXPECT_FALSE(fs::exists(home.databasePath().string() + "-shm"));
    fs::permissions(home.dataDirectory(), fs::perms::owner_all, fs::perm_options::add);
  }
}

}  // namespace
}  // namespace nodrel
