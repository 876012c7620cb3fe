// One session as an assistant runs it before a change: index the project, ask what a change
// affects, paste build and test output, then take the whole context, in one server process.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string failureFixture(const std::string& name) {
  std::ifstream in(testing::fixturePath("codeintel/failures/" + name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(SessionFlow, ContextShowsWhatTheSessionIndexedAndReported) {
  testing::TempHome home;
  {
    auto db = home.openDatabase();
    db.run(
        "INSERT INTO skills (id, name, display_name, description, content, trigger_keywords, "
        "scope, confidence, use_count) VALUES ('K1', 'release', 'Release', 'Cut a release', "
        "'make release', '[\"release\"]', 'global', 0.9, 7)");
    db.run(
        "INSERT INTO standing_instructions (id, content, scope_type, source, active, "
        "created_at) VALUES ('I1', 'Answer in English', 'global', 'manual', 1, "
        "'2026-01-01T00:00:00.000+0000')");
  }
  const fs::path project = home.path() / "project";
  fs::copy(testing::fixturePath("codeintel/project"), project, fs::copy_options::recursive);
  const std::string path = project.string();

  std::vector<std::string> lines;
  int id = 0;
  const auto call = [&](const std::string& tool, const json& arguments) {
    lines.push_back(testing::toolCall(++id, tool, arguments));
  };
  call("nodrel_ingest_project", {{"project_path", path}});
  call("nodrel_get_impact", {{"project", path}, {"files", {"src/utils/format.ts"}}});
  call("nodrel_get_impact", {{"project", path}, {"files", {"src/nowhere.ts"}}});
  call("nodrel_report_build_failure",
       {{"project_path", path}, {"build_output", failureFixture("xcodebuild_failure.txt")}});
  call("nodrel_report_test_failure", {{"project_path", path},
                                      {"framework", "jest"},
                                      {"test_output", failureFixture("jest_failure.txt")}});
  call("nodrel_report_test_failure", {{"project_path", path},
                                      {"framework", "pytest"},
                                      {"test_output", failureFixture("pytest_failure.txt")}});
  call("nodrel_report_test_failure",
       {{"project_path", path}, {"test_output", failureFixture("xctest_failure.txt")}});
  call("nodrel_get_context", {{"project_path", path}});
  call("nodrel_get_skills", {{"project_path", path}, {"trigger", "prepare the RELEASE notes"}});
  call("nodrel_get_context", {{"project_path", path}, {"project", "no-such-project"}});
  auto session = testing::runServer(lines);
  ASSERT_EQ(session.responses.size(), lines.size()) << session.rawOut;
  std::vector<json> results;
  for (const auto& response : session.responses) results.push_back(testing::toolResult(response));

  EXPECT_EQ(results[0]["success"], true);
  EXPECT_EQ(results[1]["direct_dependents"], json({"src/app.ts", "web/app.js"}));
  EXPECT_EQ(results[2]["changed_files"], json::array());
  EXPECT_EQ(results[2]["blast_radius"], 0);
  for (int i = 3; i <= 6; ++i) {
    const json& report = results[static_cast<std::size_t>(i)];
    EXPECT_EQ(report["success"], true) << report;
  }

  const json& context = results[7];
  EXPECT_EQ(context["code_structure"]["ingested"], true);
  EXPECT_EQ(context["code_structure"]["total_files"], 12);
  EXPECT_TRUE(context.contains("impact_hints"));
  EXPECT_EQ(context["impact_hints"]["total_tracked_files"], 12);
  EXPECT_EQ(context["skills"].size(), 1u);
  EXPECT_EQ(context["standing_instructions"].size(), 1u);
  // The reports' summaries are memories of the project, and the context recalls them.
  int buildSummaries = 0, testSummaries = 0;
  for (const auto& memory : context["memories"]) {
    buildSummaries += memory["tags"] == "build_failure";
    testSummaries += memory["tags"] == "test_failure";
  }
  EXPECT_EQ(buildSummaries, 1) << context["memories"].dump(1);
  EXPECT_EQ(testSummaries, 3) << context["memories"].dump(1);

  EXPECT_EQ(results[8]["skills"].size(), 1u);
  EXPECT_EQ(results[9]["success"], false);
  EXPECT_EQ(results[9]["error"], "no project matching 'no-such-project'");
  EXPECT_TRUE(results[9]["known_projects"].is_array());
}

}  // namespace
}  // namespace nodrel
