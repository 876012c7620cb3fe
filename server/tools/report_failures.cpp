#include "server/tools/report_failures.h"

#include <exception>

#include "codeintel/build_failures.h"
#include "codeintel/test_failures.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/tools/tool_result.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::string_view kTruncationNote =
    "Output exceeded 2MB limit, errors beyond that point may be missing";

bool isContinuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// How many bytes the scalar that this lead byte opens has; 0 for a byte that opens none.
std::size_t scalarLength(char lead) {
  const auto byte = static_cast<unsigned char>(lead);
  if (byte >= 0xC0 && byte <= 0xDF) return 2;
  if (byte >= 0xE0 && byte <= 0xEF) return 3;
  if (byte >= 0xF0 && byte <= 0xF7) return 4;
  return 0;
}

json buildEcho(const codeintel::BuildFailure& failure) {
  json echo = {{"error_file", failure.errorFile},
               {"error_message", failure.errorMessage},
               {"error_type", failure.errorType}};
  if (failure.errorLine) echo["error_line"] = *failure.errorLine;
  if (failure.triggerFile) echo["trigger_file"] = *failure.triggerFile;
  return echo;
}

json testEcho(const codeintel::TestFailure& failure) {
  json echo = {{"test_name", failure.testName}, {"framework", failure.framework}};
  if (failure.triggerFile) echo["trigger_file"] = *failure.triggerFile;
  if (failure.testFile) echo["test_file"] = *failure.testFile;
  if (failure.errorMessage) echo["error_message"] = *failure.errorMessage;
  return echo;
}

template <class Failure, class Echo>
json recorded(const std::vector<Failure>& failures, Echo echo, bool truncated) {
  json list = json::array();
  for (const auto& f : failures) list.push_back(echo(f));
  json result = {{"success", true},
                 {"failures_ingested", failures.size()},
                 {"failures", std::move(list)},
                 {"truncated", truncated}};
  if (truncated) result["note"] = kTruncationNote;
  return result;
}

}  // namespace

CappedOutput capReportOutput(std::string_view output) {
  if (output.size() <= kReportOutputCapBytes) return {output, false};
  std::size_t cut = kReportOutputCapBytes;
  // A scalar is at most four bytes, so its lead byte is at most three bytes before the cap.
  std::size_t back = 0;
  while (back < 3 && isContinuationByte(output[cut - back])) ++back;
  if (back > 0 && back < scalarLength(output[cut - back])) cut -= back;
  return {output.substr(0, cut), true};
}

json reportBuildFailure(db::Connection& connection, store::WriteState& state,
                        const BuildFailureReport& report) {
  if (report.projectPath.empty()) return failure("project_path is required");
  if (report.buildOutput.empty()) return failure("build_output is required");
  const CappedOutput output = capReportOutput(report.buildOutput);
  std::vector<codeintel::BuildFailure> failures;
  try {
    failures = codeintel::recordBuildFailures(output.text, report.projectPath, report.triggerFile,
                                              report.sessionID, connection, state);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] reportBuildFailure error: ") + e.what());
    return failure(e.what());
  }
  return recorded(failures, buildEcho, output.truncated);
}

json reportTestFailure(db::Connection& connection, store::WriteState& state,
                       const TestFailureReport& report) {
  if (report.projectPath.empty()) return failure("project_path is required");
  if (report.testOutput.empty()) return failure("test_output is required");
  const CappedOutput output = capReportOutput(report.testOutput);
  std::vector<codeintel::TestFailure> failures;
  try {
    failures =
        codeintel::recordTestFailures(output.text, report.projectPath, report.framework,
                                      report.triggerFile, report.sessionID, connection, state);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] reportTestFailure error: ") + e.what());
    return failure(e.what());
  }
  return recorded(failures, testEcho, output.truncated);
}

const ToolSpec& reportBuildFailureTool() {
  static const ToolSpec spec{
      .name = "nodrel_report_build_failure",
      .description =
          "Report a build failure to Nodrel by passing raw xcodebuild output. Nodrel parses the "
          "errors, persists them, and uses them to improve fragility scores and predictive "
          "impact analysis over time.",
      .properties = {{"project_path", PropertyType::String,
                      "Absolute path to the project directory"},
                     {"build_output", PropertyType::String,
                      "Raw xcodebuild stdout/stderr output containing error lines"},
                     {"trigger_file", PropertyType::String,
                      "Optional: relative path of the file you edited before this build (used to "
                      "correlate cause and effect)"},
                     {"session_id", PropertyType::String,
                      "Optional: current session UUID for traceability"}},
      .required = {"project_path", "build_output"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return reportBuildFailure(server.db(), server.writeState(),
                                      {call.projectPath, stringOr(call.all, "build_output", ""),
                                       stringArgument(call.all, "trigger_file"), call.sessionID});
          },
      .summary = "write:build_failure",
      .writes = true,
      .scope = "build_failures",
  };
  return spec;
}

const ToolSpec& reportTestFailureTool() {
  static const ToolSpec spec{
      .name = "nodrel_report_test_failure",
      .description =
          "Report test failures to Nodrel by passing raw test runner output. Nodrel parses "
          "failures, persists them, and correlates them with the trigger file for predictive "
          "analysis.",
      .properties = {{"project_path", PropertyType::String,
                      "Absolute path to the project directory"},
                     {"test_output", PropertyType::String,
                      "Raw test runner output (xcodebuild test, jest, or pytest)"},
                     {"framework",
                      PropertyType::String,
                      "Test framework: xctest, jest, or pytest (defaults to xctest)",
                      {"xctest", "jest", "pytest"}},
                     {"trigger_file", PropertyType::String,
                      "Optional: relative path of the file you edited before running tests"},
                     {"session_id", PropertyType::String,
                      "Optional: current session UUID for traceability"}},
      .required = {"project_path", "test_output"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return reportTestFailure(server.db(), server.writeState(),
                                     {call.projectPath, stringOr(call.all, "test_output", ""),
                                      stringOr(call.all, "framework", "xctest"),
                                      stringArgument(call.all, "trigger_file"), call.sessionID});
          },
      .summary = "write:test_failure",
      .writes = true,
      .scope = "test_failures",
  };
  return spec;
}

}  // namespace nodrel::server
