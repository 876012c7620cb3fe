// nodrel_ingest_project through the real server: a whole run over the fixture project, and the
// paths it refuses before reading anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testing::runServer;
using testing::toolCall;
using testing::toolResult;

class IngestProject : public ::testing::Test {
 protected:
  void SetUp() override {
    home.openDatabase();
    fs::copy(testing::fixturePath("codeintel/project"), project(), fs::copy_options::recursive);
  }
  fs::path project() const { return home.path() / "project"; }
  std::int64_t count(const std::string& sql) {
    auto db = db::Connection::open(home.databasePath());
    return db::integerOf(*db.scalar(sql)).value_or(-1);
  }

  testing::TempHome home;
};

TEST_F(IngestProject, IngestsTheProjectAndReportsTheRun) {
  // The trailing "/" and the "." are taken off: the project is named as it is stored.
  auto session = runServer(
      {toolCall(1, "nodrel_ingest_project", {{"project_path", project().string() + "/./"}}),
       toolCall(2, "nodrel_ingest_project", {{"project_path", project().string()}})});
  ASSERT_EQ(session.responses.size(), 2u) << session.rawOut;
  const json first = toolResult(session.responses[0]);
  const json want = {{"success", true},        {"project", project().string()},
                     {"files_discovered", 13}, {"files_parsed", 12},
                     {"files_skipped", 0},     {"symbols_extracted", 24},
                     {"edges_created", 27},    {"errors", {"legacy.js: not valid UTF-8 text"}}};
  EXPECT_EQ(first, want);
  const json second = toolResult(session.responses[1]);
  EXPECT_EQ(second["files_parsed"], 0);
  EXPECT_EQ(second["files_skipped"], 12);

  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files WHERE project = '" + project().string() + "'"),
            12);
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log WHERE tool_name = 'nodrel_ingest_project' "
                  "AND result_summary = 'write:ingest' AND impact_scope = 'code_files,code_edges'"),
            2);
}

TEST_F(IngestProject, ContextFindsTheCodeIndexHoweverThePathIsSpelt) {
  const std::string root = project().string();
  auto session = runServer({toolCall(1, "nodrel_ingest_project", {{"project_path", root + "/"}}),
                            toolCall(2, "nodrel_get_context", {{"project_path", root + "/"}}),
                            toolCall(3, "nodrel_get_context", {{"project_path", root}}),
                            toolCall(4, "nodrel_get_context", {{"project_path", root + "/./"}})});
  ASSERT_EQ(session.responses.size(), 4u) << session.rawOut;
  ASSERT_EQ(toolResult(session.responses[0])["success"], true);
  for (std::size_t i = 1; i < 4; ++i) {
    SCOPED_TRACE(i);
    const json context = toolResult(session.responses[i]);
    ASSERT_EQ(context["code_structure"]["ingested"], true) << context.dump();
    EXPECT_EQ(context["code_structure"]["total_files"], 12);
    ASSERT_TRUE(context.contains("impact_hints"));
    EXPECT_EQ(context["impact_hints"]["total_tracked_files"], 12);
  }
}

TEST_F(IngestProject, RefusesPathsThatWouldIngestAnotherDirectory) {
  const std::string root = project().string();
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {"", "project_path is required"},
      // Would resolve against the server's own working directory.
      {"project", "project_path must be an absolute path"},
      {root + "/src/..", "project_path must not contain path traversal (..)"},
      // Cut at the NUL, this would be the fixture project itself.
      {root + std::string(1, '\0') + "/elsewhere", "project_path must not contain null bytes"},
      {"/" + std::string(500, 'a'), "project_path exceeds 500 character limit"},
      // Other users' files, or every checkout at once, and minutes of a busy server.
      {"/", "refusing to ingest the filesystem root (/); name a project directory"},
      {"//./", "refusing to ingest the filesystem root (/); name a project directory"},
      {home.path().string() + "/", "refusing to ingest the home directory itself (" +
                                       home.path().string() +
                                       "); name a project directory inside it"},
  };
  std::vector<std::string> lines;
  int id = 0;
  for (const auto& c : cases)
    lines.push_back(toolCall(++id, "nodrel_ingest_project", {{"project_path", c.path}}));
  // A wrong-typed path counts as absent.
  lines.push_back(toolCall(++id, "nodrel_ingest_project", {{"project_path", 7}}));
  auto session = runServer(lines);
  ASSERT_EQ(session.responses.size(), std::size(cases) + 1) << session.rawOut;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].error);
    EXPECT_EQ(toolResult(session.responses[i]),
              json({{"success", false}, {"error", cases[i].error}}));
  }
  EXPECT_EQ(toolResult(session.responses.back())["error"], "project_path is required");
  EXPECT_EQ(count("SELECT COUNT(*) FROM code_files"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log WHERE result_summary = 'rejected'"),
            static_cast<std::int64_t>(std::size(cases) + 1));
  // Refusals are the caller's mistake, not the server's: nothing is logged.
  EXPECT_EQ(session.errLines.size(), 2u);
}

TEST_F(IngestProject, AMissingDirectoryFailsWithTheServiceError) {
  const std::string missing = (home.path() / "gone").string();
  auto session = runServer({toolCall(1, "nodrel_ingest_project", {{"project_path", missing}})});
  ASSERT_EQ(session.responses.size(), 1u) << session.rawOut;
  const std::string error = "project directory not found: " + missing;
  EXPECT_EQ(toolResult(session.responses[0]), json({{"success", false}, {"error", error}}));
  ASSERT_EQ(session.errLines.size(), 3u);
  EXPECT_EQ(session.errLines[1], "[nodrel-mcp] ingestProject error: " + error);
}

}  // namespace
}  // namespace nodrel
