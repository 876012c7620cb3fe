// nodrel_report_build_failure and nodrel_report_test_failure through the real server: pasted
// xcodebuild, Jest, pytest and XCTest output, the argument checks and the cap on the output.
#include "server/tools/report_failures.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/server_session.h"
#include "tests/support/temp_home.h"

namespace nodrel {
namespace {

using nlohmann::json;
using testing::runServer;
using testing::toolCall;
using testing::toolResult;

std::string fixture(const std::string& name) {
  std::ifstream in(testing::fixturePath("codeintel/failures/" + name), std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ReportFailures : public ::testing::Test {
 protected:
  void SetUp() override { home.openDatabase(); }
  std::int64_t count(const std::string& sql) {
    auto db = db::Connection::open(home.databasePath());
    return db::integerOf(*db.scalar(sql)).value_or(-1);
  }
  testing::TempHome home;
};

TEST_F(ReportFailures, AnXcodebuildLogIsStoredAndEchoed) {
  auto session = runServer({toolCall(1, "nodrel_report_build_failure",
                                     {{"project_path", "/Users/dev/Weather"},
                                      {"build_output", fixture("xcodebuild_failure.txt")},
                                      {"trigger_file", "Sources/App/ForecastView.swift"},
                                      {"session_id", "s-1"}}),
                            toolCall(2, "nodrel_report_build_failure",
                                     {{"project_path", "/Users/dev/Weather/"},
                                      {"build_output", fixture("clang_failure_color.txt")}})});
  ASSERT_EQ(session.responses.size(), 2u) << session.rawOut;
  const json result = toolResult(session.responses[0]);
  EXPECT_EQ(result["success"], true);
  EXPECT_EQ(result["failures_ingested"], 7);
  EXPECT_EQ(result["truncated"], false);
  EXPECT_FALSE(result.contains("note"));
  ASSERT_EQ(result["failures"].size(), 7u);
  EXPECT_EQ(result["failures"][0],
            json({{"error_file", "Sources/App/ForecastView.swift"},
                  {"error_line", 42},
                  {"error_message", "cannot find 'temperatureLabel' in scope"},
                  {"error_type", "compile"},
                  {"trigger_file", "Sources/App/ForecastView.swift"}}));
  // The linker's error has no line, so the echo has no error_line.
  EXPECT_EQ(result["failures"][6],
            json({{"error_file", "Sources/App/ForecastView.swift"},
                  {"error_message", "Undefined symbol: _OBJC_CLASS_$_WeatherService"},
                  {"error_type", "link"},
                  {"trigger_file", "Sources/App/ForecastView.swift"}}));

  EXPECT_EQ(count("SELECT COUNT(*) FROM build_failures WHERE project = '/Users/dev/Weather' "
                  "AND session_id = 's-1' AND resolved = 0"),
            7);

  // Coloured clang output: the compile error and the link failure, as ld and the driver
  // report it, stored under the project's one key whatever its trailing "/".
  const json coloured = toolResult(session.responses[1]);
  ASSERT_EQ(coloured["failures_ingested"], 3) << coloured.dump();
  EXPECT_EQ(coloured["failures"][0]["error_file"], "src/main.c");
  EXPECT_EQ(coloured["failures"][0]["error_type"], "compile");
  EXPECT_EQ(coloured["failures"][1]["error_type"], "link");
  EXPECT_EQ(
      coloured["failures"][2],
      json({{"error_file", "unknown"},
            {"error_message", "linker command failed with exit code 1 (use -v to see invocation)"},
            {"error_type", "link"}}));
  EXPECT_EQ(count("SELECT COUNT(*) FROM build_failures WHERE project = '/Users/dev/Weather'"), 10);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE tags = 'build_failure'"), 2);
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log WHERE result_summary = 'write:build_failure' "
                  "AND impact_scope = 'build_failures' AND session_id = 's-1'"),
            1);
}

TEST_F(ReportFailures, JestPytestAndXCTestRunsAreStoredAndEchoed) {
  struct Case {
    std::string file;
    json framework;  // null: not given
    std::string project;
    std::size_t failures;
    std::string echoedFramework;
    json firstEcho;
  };
  const Case cases[] = {
      {"jest_failure.txt",
       "jest",
       "/Users/dev/Weather/web",
       3,
       "jest",
       {{"test_name", "Forecast \u203A renders the summary"},
        {"framework", "jest"},
        {"test_file", "Forecast.test.tsx"}}},
      {"pytest_failure.txt",
       "pytest",
       "/Users/dev/Weather/backend",
       5,
       "pytest",
       {{"test_name", "test_summary"}, {"framework", "pytest"}, {"test_file", "test_forecast.py"}}},
      {"xctest_failure.txt",
       nullptr,
       "/Users/dev/Weather",
       3,
       "xctest",
       {{"test_name", "-[WeatherTests.ForecastTests testDecodesSummary]"},
        {"framework", "xctest"},
        {"test_file", "Tests/WeatherTests/ForecastTests.swift"},
        {"error_message", "XCTAssertEqual failed: (\"Sunny\") is not equal to (\"Cloudy\")"}}},
      // Coloured runs, named in any letter case.
      {"pytest_failure_color.txt",
       "Pytest",
       "/Users/dev/Weather/backend",
       3,
       "pytest",
       {{"test_name", "test_ids[a b]"}, {"framework", "pytest"}, {"test_file", "test_ids.py"}}},
      {"jest_failure_color.txt",
       "JEST",
       "/Users/dev/Weather/web",
       2,
       "jest",
       {{"test_name", "Forecast \u203A renders the summary"},
        {"framework", "jest"},
        {"test_file", "Forecast.test.js"}}},
      // Other names are read as XCTest output.
      {"xctest_failure.txt", "unittest", "/Users/dev/Weather", 3, "xctest", nullptr},
      {"jest_success.txt", "jest", "/Users/dev/Weather/web", 0, "", nullptr},
  };
  std::vector<std::string> lines;
  std::size_t stored = 0;
  for (const auto& c : cases) {
    json arguments = {{"project_path", c.project}, {"test_output", fixture(c.file)}};
    if (!c.framework.is_null()) arguments["framework"] = c.framework;
    lines.push_back(toolCall(1, "nodrel_report_test_failure", arguments));
    stored += c.failures;
  }
  auto session = runServer(lines);
  ASSERT_EQ(session.responses.size(), std::size(cases)) << session.rawOut;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(c.file + " as " + c.framework.dump());
    const json result = toolResult(session.responses[i]);
    EXPECT_EQ(result["success"], true);
    EXPECT_EQ(result["truncated"], false);
    EXPECT_EQ(result["failures_ingested"], c.failures);
    ASSERT_EQ(result["failures"].size(), c.failures);
    for (const auto& echo : result["failures"]) EXPECT_EQ(echo["framework"], c.echoedFramework);
    if (!c.firstEcho.is_null()) {
      EXPECT_EQ(result["failures"][0], c.firstEcho);
    }
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM test_failures"), static_cast<std::int64_t>(stored));
  EXPECT_EQ(count("SELECT COUNT(*) FROM test_failures WHERE framework = 'xctest'"), 6);
  // One summary memory per report that found failures; the two XCTest ones share a body.
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories WHERE tags = 'test_failure'"), 5);
}

TEST_F(ReportFailures, ArgumentChecksAndOutputWithoutFailures) {
  struct Case {
    std::string tool;
    json arguments;
    json want;
  };
  const json none = {{"success", true},
                     {"failures_ingested", 0},
                     {"failures", json::array()},
                     {"truncated", false}};
  const Case cases[] = {
      {"nodrel_report_build_failure",
       {{"build_output", "error: x"}},
       {{"success", false}, {"error", "project_path is required"}}},
      {"nodrel_report_build_failure",
       {{"project_path", "/p"}},
       {{"success", false}, {"error", "build_output is required"}}},
      {"nodrel_report_build_failure",
       {{"project_path", "/p"}, {"build_output", ""}},
       {{"success", false}, {"error", "build_output is required"}}},
      {"nodrel_report_build_failure", {{"project_path", "/p"}, {"build_output", " \n\t"}}, none},
      {"nodrel_report_build_failure",
       {{"project_path", "/p"}, {"build_output", fixture("xcodebuild_success.txt")}},
       none},
      {"nodrel_report_test_failure",
       {{"test_output", "FAILED a.py::t"}},
       {{"success", false}, {"error", "project_path is required"}}},
      {"nodrel_report_test_failure",
       {{"project_path", "/p"}, {"test_output", 5}},
       {{"success", false}, {"error", "test_output is required"}}},
      {"nodrel_report_test_failure",
       {{"project_path", "/p"},
        {"test_output", fixture("pytest_success.txt")},
        {"framework", "pytest"}},
       none},
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) lines.push_back(toolCall(1, c.tool, c.arguments));
  auto session = runServer(lines);
  ASSERT_EQ(session.responses.size(), std::size(cases)) << session.rawOut;
  std::int64_t rejected = 0;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].arguments.dump());
    EXPECT_EQ(toolResult(session.responses[i]), cases[i].want);
    if (cases[i].want["success"] == false) ++rejected;
  }
  EXPECT_EQ(count("SELECT COUNT(*) FROM audit_log WHERE result_summary = 'rejected'"), rejected);
  EXPECT_EQ(count("SELECT COUNT(*) FROM build_failures"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM test_failures"), 0);
  EXPECT_EQ(count("SELECT COUNT(*) FROM memories"), 0);
}

// Build output of `size` bytes whose last line is a diagnostic "m" followed by a four-byte
// emoji that begins `emojiAt` bytes before the cap.
std::string outputAroundTheCap(std::size_t size, std::size_t emojiAt) {
  const std::string head = "/p/a.swift:1:1: error: m";
  const std::string emoji = "\xF0\x9F\x98\x80";
  const std::size_t emojiStart = server::kReportOutputCapBytes - emojiAt;
  std::string out;
  const std::string padding = std::string(999, '.') + "\n";
  while (out.size() + padding.size() + head.size() + 1 <= emojiStart) out += padding;
  out += std::string(emojiStart - head.size() - out.size() - 1, '.') + "\n" + head + emoji;
  out += std::string(size - out.size(), 'z');
  return out;
}

TEST_F(ReportFailures, OutputBeyondTwoMebibytesIsCutAtAWholeScalar) {
  constexpr std::size_t cap = server::kReportOutputCapBytes;
  struct Case {
    std::size_t size, emojiAt;
    bool truncated;
    std::string message;
  };
  const std::string emoji = "\xF0\x9F\x98\x80";
  const Case cases[] = {
      {cap, 4, false, "m" + emoji},
      {cap, 8, false, "m" + emoji + "zzzz"},
      {cap + 1, 8, true, "m" + emoji + "zzzz"},
      {cap + 1, 4, true, "m" + emoji},
      {cap + 1, 3, true, "m"},  // the cap falls after the emoji's first byte
      {cap + 2, 2, true, "m"},
      {cap + 3, 1, true, "m"},
      {cap + 4, 0, true, "m"},  // the emoji begins at the cap
  };
  std::vector<std::string> lines;
  for (const auto& c : cases) {
    const std::string output = outputAroundTheCap(c.size, c.emojiAt);
    ASSERT_EQ(output.size(), c.size);
    lines.push_back(toolCall(1, "nodrel_report_build_failure",
                             {{"project_path", "/p"}, {"build_output", output}}));
    lines.push_back(toolCall(2, "nodrel_report_test_failure",
                             {{"project_path", "/p"}, {"test_output", output}}));
  }
  auto session = runServer(lines);
  ASSERT_EQ(session.responses.size(), 2 * std::size(cases)) << session.rawOut.size();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& c = cases[i];
    SCOPED_TRACE(std::to_string(c.size - cap) + " past the cap, emoji " +
                 std::to_string(c.emojiAt) + " before it");
    const json build = toolResult(session.responses[2 * i]);
    ASSERT_EQ(build["failures"].size(), 1u) << build.dump();
    EXPECT_EQ(build["failures"][0]["error_message"], c.message);
    const json test = toolResult(session.responses[2 * i + 1]);
    EXPECT_EQ(test["failures_ingested"], 0);
    for (const json& result : {build, test}) {
      EXPECT_EQ(result["truncated"], c.truncated);
      if (c.truncated) {
        EXPECT_EQ(result["note"],
                  "Output exceeded 2MB limit, errors beyond that point may be missing");
      } else {
        EXPECT_FALSE(result.contains("note"));
      }
    }
  }
}

}  // namespace
}  // namespace nodrel
