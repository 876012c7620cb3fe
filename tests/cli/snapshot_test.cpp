// `nodrel snapshot save|list` as a user runs it, against a temporary HOME.
#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "capture/snapshot_record.h"
#include "db/connection.h"
#include "platform/files.h"
#include "platform/time.h"
#include "platform/user_defaults.h"
#include "tests/support/run_program.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

class Snapshots : public ::testing::Test {
 protected:
  void SetUp() override {
    auto db = home_.openDatabase();
    db.run("INSERT INTO memories (id, tier, body, project) VALUES ('m1', 'episodic', 'x', '/p')");
  }
  fs::path folder() const { return home_.dataDirectory() / "backups"; }
  json index() const {
    return json::parse(platform::readFile(folder() / "snapshots.json").value_or("null"));
  }
  void writeIndex(const std::string& text) const {
    fs::create_directories(folder());
    platform::atomicWriteFile(folder() / "snapshots.json", text);
  }

  testing::TempHome home_;
};

TEST_F(Snapshots, SaveCopiesTheDatabaseAndIndexesIt) {
  auto run = testing::runNodrel({"snapshot", "save"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json saved = index();
  ASSERT_EQ(saved.size(), 1u);
  const std::string file = saved[0]["filePath"];
  EXPECT_TRUE(std::regex_match(fs::path(file).filename().string(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d-\d\d-\d\d\.db)")));
  EXPECT_EQ(fs::path(file).parent_path(), folder());
  EXPECT_FALSE(saved[0].contains("label"));
  EXPECT_EQ(saved[0]["sourcePath"], home_.databasePath().string());
  EXPECT_EQ(saved[0]["id"], fs::path(file).stem().string());
  EXPECT_TRUE(capture::parseSnapshotTime(saved[0]["createdAt"].get<std::string>()));
  const std::int64_t size = saved[0]["sizeBytes"];
  EXPECT_EQ(size, static_cast<std::int64_t>(fs::file_size(file)));
  EXPECT_EQ(run.out, "Snapshot saved: " + file + " (" + std::to_string(size / 1024) + " KB)\n");
  auto copy = db::Connection::open(file);
  EXPECT_EQ(copy.scalar("SELECT body FROM memories WHERE id = 'm1'"), db::Value("x"));
  EXPECT_FALSE(fs::exists(folder() / "snapshots.json.tmp"));
}

TEST_F(Snapshots, Labels) {
  struct Case {
    std::vector<std::string> args;
    std::optional<std::string> label;
    std::string suffix;
  };
  const Case cases[] = {
      {{"--label", "two words"}, "two words", "-two-words.db"},
      {{"--label", "a", "other", "--label", "b"}, "b", "-b.db"},
      {{"--label", "  \n "}, std::nullopt, "\\d\\d.db"},
      {{"--label"}, std::nullopt, "\\d\\d.db"},
      {{"--label", "../../escape/x"}, "../../escape/x", "-..-..-escape-x.db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    fs::remove_all(folder());
    std::vector<std::string> args = {"snapshot", "save"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    auto run = testing::runNodrel(args);
    ASSERT_EQ(run.status, 0) << run.err;
    const json saved = index();
    ASSERT_EQ(saved.size(), 1u);
    const fs::path file = saved[0]["filePath"].get<std::string>();
    EXPECT_EQ(file.parent_path(), folder());
    EXPECT_TRUE(fs::exists(file));
    EXPECT_TRUE(std::regex_search(file.string(), std::regex(c.suffix + "$"))) << file;
    if (c.label) {
      EXPECT_EQ(saved[0]["label"], *c.label);
      EXPECT_TRUE(run.out.starts_with("Snapshot saved (" + *c.label + "): " + file.string()));
    } else {
      EXPECT_FALSE(saved[0].contains("label"));
      EXPECT_TRUE(run.out.starts_with("Snapshot saved: ")) << run.out;
    }
  }
}

TEST_F(Snapshots, AFolderWithAnApostropheIsCopiedInto) {
  const fs::path custom = home_.path() / "it's here";
  platform::UserDefaults::set("nodrel.snapshots.folder", custom.string());
  auto run = testing::runNodrel({"snapshot", "save", "--label", "o'clock"});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto saved = json::parse(platform::readFile(custom / "snapshots.json").value_or("null"));
  const std::string file = saved[0]["filePath"];
  EXPECT_EQ(fs::path(file).parent_path(), custom);
  EXPECT_TRUE(file.ends_with("-o'clock.db"));
  EXPECT_EQ(db::Connection::open(file).scalar("SELECT COUNT(*) FROM memories"),
            db::Value(std::int64_t{1}));
}

TEST_F(Snapshots, ACorruptIndexIsStartedAfreshAndItsFilesStay) {
  fs::create_directories(folder());
  platform::atomicWriteFile(folder() / "old.db", "old");
  writeIndex("{not json");
  ASSERT_EQ(testing::runNodrel({"snapshot", "save"}).status, 0);
  EXPECT_EQ(index().size(), 1u);
  EXPECT_TRUE(fs::exists(folder() / "old.db"));

  // `list` reports a corrupt index instead of pretending it is empty.
  writeIndex("[1]");
  auto run = testing::runNodrel({"snapshot", "list"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(run.err.starts_with("nodrel snapshot list: ")) << run.err;
}

TEST_F(Snapshots, RetentionDeletesOnlySnapshotFilesOfTheFolder) {
  // Two unlabelled snapshots in the same week, long ago: retention keeps the newer. The older
  // one's path points at a file outside the snapshots folder, which must survive.
  const auto longAgo = platform::now() - std::chrono::days(60);
  const fs::path outside = home_.path() / "precious.db";
  platform::atomicWriteFile(outside, "mine");
  fs::create_directories(folder());
  platform::atomicWriteFile(folder() / "older.db", "old snapshot");
  platform::atomicWriteFile(folder() / "newer.db", "new snapshot");
  auto entry = [&](const std::string& id, const fs::path& file, int ms) {
    return json{{"id", id},
                {"createdAt", capture::formatSnapshotTime(longAgo + std::chrono::milliseconds(ms))},
                {"sizeBytes", 1},
                {"filePath", file.string()},
                {"sourcePath", "/s"}};
  };
  writeIndex(json::array({entry("newer", folder() / "newer.db", 2),
                          entry("older", folder() / "older.db", 1), entry("outside", outside, 0)})
                 .dump());
  ASSERT_EQ(testing::runNodrel({"snapshot", "save"}).status, 0);
  const json saved = index();
  ASSERT_EQ(saved.size(), 2u);
  EXPECT_EQ(saved[1]["id"], "newer");
  EXPECT_TRUE(fs::exists(folder() / "newer.db"));
  EXPECT_FALSE(fs::exists(folder() / "older.db"));
  EXPECT_EQ(platform::readFile(outside), "mine");
}

TEST_F(Snapshots, SaveFailures) {
  fs::remove(home_.databasePath());
  auto run = testing::runNodrel({"snapshot", "save"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "nodrel snapshot save: Source database not found: " +
                         home_.databasePath().string() + "\n");
  EXPECT_EQ(run.out, "");

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"snapshot"}, {"snapshot", "Save"}}) {
    run = testing::runNodrel(args);
    EXPECT_EQ(run.status, 1);
    const std::string first = args.size() == 1 ? "nodrel snapshot: expected 'save' or 'list'\n"
                                               : "nodrel snapshot: unknown subcommand 'Save'\n";
    EXPECT_EQ(run.err, first + "Run 'nodrel --help' for usage.\n");
  }
}

// Runs the command with a cap on the size of any file it writes, smaller than the database's
// copy. With SIGXFSZ ignored (inherited across exec) the write fails; with its default the
// program is killed part-way through the copy.
testing::ProgramRun withFileSizeCap(const std::vector<std::string>& args, bool killed) {
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit capped = saved;
  capped.rlim_cur = 64 * 1024;
  // No core file of the killed run in the test's directory.
  struct rlimit savedCore {};
  getrlimit(RLIMIT_CORE, &savedCore);
  struct rlimit noCore = savedCore;
  noCore.rlim_cur = 0;
  const auto previous = std::signal(SIGXFSZ, killed ? SIG_DFL : SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &capped);
  setrlimit(RLIMIT_CORE, &noCore);
  auto run = testing::runNodrel(args);
  setrlimit(RLIMIT_CORE, &savedCore);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previous);
  return run;
}

std::vector<std::string> filesIn(const fs::path& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A copy that fails, or is killed, part-way is never left in the snapshot folder to hold the
// space; the index names none.
TEST_F(Snapshots, APartialCopyLeavesNothingBehind) {
  {
    auto db = home_.openDatabase();
    const std::string body(1000, 'b');
    for (int i = 0; i < 400; ++i) {
      db.run("INSERT INTO memories (id, tier, body, project) VALUES (?, 'episodic', ?, '/p')",
             {db::text("big" + std::to_string(i)), db::text(body + std::to_string(i))});
    }
  }
  fs::create_directories(folder());
  auto run = withFileSizeCap({"snapshot", "save"}, /*killed=*/false);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err.rfind("nodrel snapshot save: ", 0), 0u) << run.err;
  EXPECT_EQ(filesIn(folder()), std::vector<std::string>{});

  run = withFileSizeCap({"snapshot", "save"}, /*killed=*/true);
  EXPECT_EQ(run.status, -1);
  const auto left = filesIn(folder());  // the killed copy, under its temporary name
  ASSERT_FALSE(left.empty());
  for (const auto& name : left) EXPECT_EQ(name.rfind(".partial-", 0), 0u) << name;

  // The next save removes what the killed one left, and keeps only its own whole copy.
  run = testing::runNodrel({"snapshot", "save"});
  ASSERT_EQ(run.status, 0) << run.err;
  const json saved = index();
  ASSERT_EQ(saved.size(), 1u);
  const std::string file = fs::path(saved[0]["filePath"].get<std::string>()).filename();
  EXPECT_EQ(filesIn(folder()), (std::vector<std::string>{file, "snapshots.json"}));
  EXPECT_EQ(db::Connection::open(folder() / file).scalar("SELECT COUNT(*) FROM memories"),
            db::Value(std::int64_t{401}));
}

TEST_F(Snapshots, List) {
  for (const char* text : {"", "[]"}) {
    if (*text) writeIndex(text);
    auto run = testing::runNodrel({"snapshot", "list", "extra"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "No snapshots found.\n");
  }
  writeIndex(R"([
    {"id": "a", "createdAt": "2026-03-01T23:59:30.500Z", "sizeBytes": 1023,
     "filePath": "/b/a.db", "sourcePath": "/s"},
    {"id": "b", "createdAt": "2026-03-02T08:00:00Z", "sizeBytes": 2048, "label": "raw time",
     "filePath": "/b/b.db", "sourcePath": "/s"},
    {"id": "c", "createdAt": "2026-03-02T14:05:09.123Z", "sizeBytes": 4096, "label": "keep",
     "filePath": "/b/c.db", "sourcePath": "/s"}])");
  // The display is in UTC whatever the machine's zone.
  setenv("TZ", "Asia/Tokyo", 1);
  auto run = testing::runNodrel({"snapshot", "list"});
  unsetenv("TZ");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(testing::splitLines(run.out),
            (std::vector<std::string>{
                "Snapshots (3 total):",
                "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
                "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500"
                "\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500\u2500",
                "2026-03-02 14:05 UTC \u2014 keep  [4 KB]",
                "  /b/c.db",
                "2026-03-02T08:00:00Z \u2014 raw time  [2 KB]",
                "  /b/b.db",
                "2026-03-01 23:59 UTC  [0 KB]",
                "  /b/a.db",
            }));
}

}  // namespace
}  // namespace nodrel
