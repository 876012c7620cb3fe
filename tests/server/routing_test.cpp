#include "server/routing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>

#include "db/connection.h"
#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

std::uint32_t bigEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v = (v << 8) | static_cast<unsigned char>(bytes[at + i]);
  return v;
}

// The commits in the write-ahead log: frames of the log's current salt whose header records a
// database size, which only the last frame of a transaction does.
int commitsInLog(const std::filesystem::path& database) {
  std::ifstream in(database.string() + "-wal", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (log.size() < 32) return 0;
  const std::uint32_t pageSize = bigEndian32(log, 8);
  const std::string salt = log.substr(16, 8);
  int commits = 0;
  for (std::size_t frame = 32; frame + 24 + pageSize <= log.size(); frame += 24 + pageSize) {
    if (log.compare(frame + 8, 8, salt) != 0) break;  // left over from before a restart
    if (bigEndian32(log, frame + 4) != 0) ++commits;
  }
  return commits;
}

std::int64_t countRows(db::Connection& db, const std::string& sql) {
  return db::integerOf(*db.scalar(sql)).value_or(-1);
}

class ToolCallCommits : public ::testing::Test {
 protected:
  testing::TempHome home;
  // Kept open so the server's connection never takes the log down with it.
  db::Connection reader = home.openDatabase();
  MCPServer server{db::Connection::open(home.databasePath())};

  void SetUp() override {
    // What the server adds at start-up.
    for (const char* table : {"corrections", "standing_instructions"}) {
      reader.exec(std::string("ALTER TABLE ") + table +
                  " ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code'");
    }
  }

  json call(const std::string& tool, const json& arguments) {
    return testing::toolResult({{"result", handleToolCall(tool, arguments, server)}});
  }
};

// A new memory (row, full-text entry, vector and links), a reinforcement and the other writing
// tools each reach the disk in one commit, their audit row included.
TEST_F(ToolCallCommits, AWriteAndItsAuditRowCommitOnce) {
  const std::string project = home.path().string();
  const std::string body = "The retry loop checks the deadline before each attempt.";
  struct Case {
    std::string tool;
    json arguments;
  };
  const Case cases[] = {
      {"nodrel_remember", {{"project_path", project}, {"content", body}}},
      {"nodrel_remember", {{"project_path", project}, {"content", body}}},
      {"nodrel_save_correction",
       {{"project_path", project}, {"content", "Use the shared formatter for dates."}}},
      {"nodrel_save_context",
       {{"project_path", project}, {"content", "Next: move the cache behind the lock."}}},
  };
  std::int64_t audited = countRows(reader, "SELECT count(*) FROM audit_log");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tool);
    const int before = commitsInLog(home.databasePath());
    const json result = call(c.tool, c.arguments);
    EXPECT_EQ(result.value("success", false), true) << result.dump();
    EXPECT_EQ(commitsInLog(home.databasePath()), before + 1);
    EXPECT_EQ(countRows(reader, "SELECT count(*) FROM audit_log"), ++audited);
  }
  EXPECT_EQ(countRows(reader, "SELECT access_count FROM memories WHERE body = '" + body + "'"), 2);
}

// An audit row that cannot be written is logged; the memory stays, and the call still succeeds.
TEST_F(ToolCallCommits, AFailedAuditInsertNeverUndoesTheWrite) {
  reader.exec(
      "CREATE TRIGGER audit_refused BEFORE INSERT ON audit_log "
      "BEGIN SELECT RAISE(ABORT, 'audit refused'); END;");
  ::testing::internal::CaptureStderr();
  const json result =
      call("nodrel_remember", {{"project_path", home.path().string()},
                               {"content", "Keep the timeout below the gateway's."}});
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(result.value("success", false), true) << result.dump();
  EXPECT_NE(err.find("[nodrel:audit] insert failed: "), std::string::npos) << err;
  EXPECT_EQ(countRows(reader, "SELECT count(*) FROM memories WHERE body LIKE 'Keep the timeout%'"),
            1);
  EXPECT_EQ(countRows(reader, "SELECT count(*) FROM memory_vectors"), 1);
  EXPECT_EQ(countRows(reader, "SELECT count(*) FROM audit_log"), 0);
}

// Every argument that names a directory gets the same checks in every tool, so no tool stores a
// NUL-cut path under another project's key or takes a relative one.
TEST(PathArguments, AreCheckedAlikeInEveryTool) {
  testing::TempHome home;
  struct Case {
    std::string tool;
    json arguments;
    std::string error;
  };
  const std::string nul("/work/app\0/other", 16);
  const Case cases[] = {
      {"nodrel_get_skills",
       {{"project_path", "work/app"}},
       "project_path must be an absolute path"},
      {"nodrel_get_context", {{"project_path", nul}}, "project_path must not contain null bytes"},
      {"nodrel_get_context",
       {{"project", "/work/../etc"}},
       "project must not contain path traversal (..)"},
      {"nodrel_get_context", {{"project", nul.substr(1)}}, "project must not contain null bytes"},
      {"nodrel_get_impact",
       {{"project", "app"}, {"files", {"a.py"}}},
       "project must be an absolute path"},
      {"nodrel_report_build_failure",
       {{"project_path", nul}, {"build_output", "x.c:1:1: error: e"}},
       "project_path must not contain null bytes"},
      {"nodrel_report_test_failure",
       {{"project_path", "../app"}, {"test_output", "FAILED"}},
       "project_path must not contain path traversal (..)"},
      {"nodrel_match_conditions", {{"repoPath", "."}}, "repoPath must be an absolute path"},
      {"nodrel_ingest_project",
       {{"project_path", nul}},
       "project_path must not contain null bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool + " " + c.arguments.dump());
    const json result = testing::callTool(c.tool, c.arguments);
    EXPECT_EQ(result, (json{{"success", false}, {"error", c.error}}));
  }
  auto db = home.openDatabase();
  EXPECT_EQ(countRows(db, "SELECT COUNT(*) FROM build_failures"), 0);
  EXPECT_EQ(countRows(db, "SELECT COUNT(*) FROM projects"), 0);
  EXPECT_EQ(countRows(db, "SELECT COUNT(*) FROM audit_log"),
            static_cast<std::int64_t>(std::size(cases)));

  // A project named rather than given by its path is looked up by that name.
  const json byName = testing::callTool("nodrel_get_context", {{"project", "harbor"}});
  EXPECT_EQ(byName["error"], "no project matching 'harbor'");
}

// Another program holding the write lock for ten seconds: a write tool gives up one busy timeout
// after its first wait, however many statements it has, and stores nothing of what it was asked.
TEST(ToolCallUnderALock, AWriteGivesUpAfterOneTimeoutAndStoresNothing) {
  testing::TempHome home;
  db::Connection holder = home.openDatabase();
  for (const char* table : {"corrections", "standing_instructions"}) {
    holder.exec(std::string("ALTER TABLE ") + table +
                " ADD COLUMN surface TEXT NOT NULL DEFAULT 'claude_code'");
  }
  const std::string project = home.path().string();
  holder.exec("BEGIN IMMEDIATE; INSERT INTO projects (id, name, path) VALUES ('P', 'p', 'p');");
  std::mutex mutex;
  std::condition_variable answered;
  bool done = false;
  std::thread release([&] {
    std::unique_lock lock(mutex);
    answered.wait_for(lock, std::chrono::seconds(10), [&] { return done; });
    holder.exec("COMMIT;");
  });
  const auto start = std::chrono::steady_clock::now();
  const auto session = testing::runServer({testing::toolCall(
      1, "nodrel_remember",
      {{"project_path", project}, {"content", "Keep the retry budget under the gateway's."}})});
  const auto took = std::chrono::steady_clock::now() - start;
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  answered.notify_all();
  release.join();

  ASSERT_EQ(session.responses.size(), 1u) << session.rawOut;
  const json result = testing::toolResult(session.responses[0]);
  EXPECT_EQ(result.value("success", true), false) << result.dump();
  EXPECT_NE(result.value("error", "").find("database is locked"), std::string::npos)
      << result.dump();
  // Two seconds of waiting and the server's start. With a wait of its own for each statement,
  // the call's begin, its write and its audit row took at least six.
  EXPECT_GE(took, std::chrono::milliseconds(2000));
  EXPECT_LT(took, std::chrono::milliseconds(5500));
  EXPECT_EQ(countRows(holder, "SELECT count(*) FROM memories"), 0);
  EXPECT_EQ(countRows(holder, "SELECT count(*) FROM memory_vectors"), 0);
  EXPECT_EQ(countRows(holder, "SELECT count(*) FROM projects"), 1);
}

}  // namespace
}  // namespace nodrel::server
