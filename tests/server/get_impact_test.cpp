// nodrel_get_impact through the real server over an ingested fixture project, and the
// rounding of predictions.
#include "server/tools/get_impact.h"

#include <gtest/gtest.h>

#include <algorithm>
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

class GetImpact : public ::testing::Test {
 protected:
  void SetUp() override {
    home.openDatabase();
    fs::copy(testing::fixturePath("codeintel/project"), project(), fs::copy_options::recursive);
    auto session = runServer({toolCall(1, "nodrel_ingest_project", {{"project_path", root()}})});
    ASSERT_EQ(session.responses.size(), 1u);
    ASSERT_EQ(toolResult(session.responses[0])["success"], true) << session.rawOut;
  }
  fs::path project() const { return home.path() / "project"; }
  std::string root() const { return project().string(); }
  json impact(const json& arguments) {
    auto session = runServer({toolCall(1, "nodrel_get_impact", arguments)});
    EXPECT_EQ(session.responses.size(), 1u) << session.rawOut;
    return session.responses.empty() ? json() : toolResult(session.responses[0]);
  }

  testing::TempHome home;
};

TEST_F(GetImpact, ACentralFileAndAnUnknownOne) {
  const json central = impact({{"project", root()}, {"files", {"src/utils/format.ts"}}});
  EXPECT_EQ(central["success"], true);
  EXPECT_EQ(central["changed_files"], json({"src/utils/format.ts"}));
  EXPECT_EQ(central["direct_dependents"], json({"src/app.ts", "web/app.js"}));
  EXPECT_EQ(central["transitive_dependents"], json({"web/index.html"}));
  EXPECT_EQ(central["blast_radius"], 3);
  EXPECT_EQ(central["risk_level"], "low");
  EXPECT_EQ(central["truncated_count"], 0);
  EXPECT_EQ(central["fragile_files"], json::array());
  EXPECT_EQ(central["high_impact_warnings"], json::array());
  EXPECT_EQ(central["report_markdown"].get<std::string>().rfind("## Impact Analysis", 0), 0u);
  EXPECT_FALSE(central.contains("predictions"));
  ASSERT_EQ(central["top_fragile_files"].size(), 3u);
  for (const auto& entry : central["top_fragile_files"]) {
    EXPECT_TRUE(entry["path"].is_string());
    EXPECT_TRUE(entry["score"].is_number());
  }
  EXPECT_EQ(central["top_fragile_files_in_report"], central["top_fragile_files"]);
  // The project named with a trailing "/" is the same project, for the report and the list.
  const json slashed = impact({{"project", root() + "/"}, {"files", {"src/utils/format.ts"}}});
  EXPECT_EQ(slashed, central);

  const json unknown = impact({{"project", root()}, {"files", {"src/nowhere.ts"}}});
  EXPECT_EQ(unknown["success"], true);
  EXPECT_EQ(unknown["direct_dependents"], json::array());
  EXPECT_EQ(unknown["blast_radius"], 0);
  EXPECT_EQ(unknown["risk_level"], "low");
  EXPECT_EQ(unknown["top_fragile_files"], central["top_fragile_files"]);

  // A project never ingested has no fragile files: the list is empty, the report's is left out.
  const json elsewhere = impact({{"project", "/nowhere"}, {"files", {"a.ts"}}});
  EXPECT_EQ(elsewhere["success"], true);
  EXPECT_EQ(elsewhere["top_fragile_files"], json::array());
  EXPECT_FALSE(elsewhere.contains("top_fragile_files_in_report"));
  EXPECT_FALSE(elsewhere.contains("predictions"));
}

TEST_F(GetImpact, ArgumentsAndTheirDefaults) {
  struct Case {
    json arguments;
    std::string error;  // empty when the call succeeds
  };
  const Case cases[] = {
      {json::object(), "project is required"},
      {{{"files", {"src/app.ts"}}}, "project is required"},
      {{{"project", root()}}, "files array is required and must not be empty"},
      {{{"project", root()}, {"files", json::array()}},
       "files array is required and must not be empty"},
      {{{"project", root()}, {"files", {"src/app.ts", 3}}},
       "files array is required and must not be empty"},
      // project_path stands in for a missing project.
      {{{"project_path", root()}, {"files", {"src/app.ts"}}}, ""},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(toolCall(1, "nodrel_get_impact", c.arguments));
  auto session = runServer(lines);
  ASSERT_EQ(session.responses.size(), std::size(cases)) << session.rawOut;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].arguments.dump());
    const json result = toolResult(session.responses[i]);
    if (cases[i].error.empty()) {
      EXPECT_EQ(result["success"], true);
      EXPECT_EQ(result["changed_files"], json({"src/app.ts"}));
    } else {
      EXPECT_EQ(result, json({{"success", false}, {"error", cases[i].error}}));
    }
  }
  auto db = db::Connection::open(home.databasePath());
  EXPECT_EQ(db.scalar("SELECT COUNT(*) FROM audit_log WHERE tool_name = 'nodrel_get_impact' "
                      "AND result_summary = 'read:impact' AND impact_scope IS NULL"),
            db::Value(static_cast<std::int64_t>(std::size(cases))));
}

TEST_F(GetImpact, PredictsFromCoChangesAndReportedBuildFailures) {
  {
    auto db = home.openDatabase();
    db.run(
        "INSERT INTO co_changes (project, file_a, file_b, count) VALUES (?, ?, ?, 8), "
        "(?, ?, ?, 4)",
        {db::text(root()), db::text("src/utils/format.ts"), db::text("src/app.ts"),
         db::text(root()), db::text("src/models/user.ts"), db::text("src/utils/format.ts")});
  }
  auto session =
      runServer({toolCall(1, "nodrel_report_build_failure",
                          {{"project_path", root()},
                           {"build_output", root() + "/src/app.ts:3:1: error: no such name\n"},
                           {"trigger_file", "src/utils/format.ts"}}),
                 toolCall(2, "nodrel_get_impact",
                          {{"project", root()}, {"files", {"src/utils/format.ts"}}})});
  ASSERT_EQ(session.responses.size(), 2u) << session.rawOut;
  ASSERT_EQ(toolResult(session.responses[0])["failures_ingested"], 1);
  const json result = toolResult(session.responses[1]);
  // 0.4 x 2/3 of the co-changes + 0.35 x every build failure it triggered = 0.61666...
  const json want = {{"file", "src/app.ts"},
                     {"score", 0.617},
                     {"reason",
                      "co-changed in 67% of correlated commits; caused build errors 100% of the "
                      "time"},
                     {"co_change_count", 8},
                     {"build_failure_count", 1},
                     {"test_failure_count", 0}};
  EXPECT_EQ(result["predictions"], json::array({want}));
  // Partners, the most often changed together first.
  EXPECT_EQ(result["fragile_files"], json::array({"src/app.ts", "src/models/user.ts"}));
}

TEST_F(GetImpact, AFailedAnalysisIsReportedAndLogged) {
  // A view of nothing fails every statement as a missing table would; a missing table itself
  // the server would make again.
  home.openDatabase().exec(
      "DROP TABLE code_edges; CREATE VIEW code_edges AS SELECT * FROM "
      "code_edges_gone;");
  auto session =
      runServer({toolCall(1, "nodrel_get_impact", {{"project", root()}, {"files", {"a.ts"}}})});
  ASSERT_EQ(session.responses.size(), 1u) << session.rawOut;
  const json result = toolResult(session.responses[0]);
  EXPECT_EQ(result["success"], false);
  const std::string error = result["error"].get<std::string>();
  EXPECT_NE(error.find("code_edges"), std::string::npos) << error;
  ASSERT_EQ(session.errLines.size(), 3u);
  EXPECT_EQ(session.errLines[1], "[nodrel-mcp] getImpact error: " + error);
}

TEST(PredictionJSON, RoundsTheScoreToThreeDecimalsHalvesAwayFromZero) {
  struct Case {
    double score, want;
  };
  const Case cases[] = {{0.12345, 0.123}, {0.0005, 0.001}, {0.6666, 0.667}, {1, 1}, {0.3004, 0.3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.score);
    const json got = server::predictionJSON({"a.ts", c.score, "why", 4, 5, 6});
    EXPECT_EQ(got, json({{"file", "a.ts"},
                         {"score", c.want},
                         {"reason", "why"},
                         {"co_change_count", 4},
                         {"build_failure_count", 5},
                         {"test_failure_count", 6}}));
  }
}

}  // namespace
}  // namespace nodrel
