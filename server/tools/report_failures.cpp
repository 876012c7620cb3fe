#include "server/tools/report_failures.h"

#include <exception>

#include "codeintel/build_failures.h"
#include "codeintel/test_failures.h"
#include "server/transport.h"
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

json reportBuildFailure(db::Connection& connection, const BuildFailureReport& report) {
  if (report.projectPath.empty()) return failure("project_path is required");
  if (report.buildOutput.empty()) return failure("build_output is required");
  const CappedOutput output = capReportOutput(report.buildOutput);
  std::vector<codeintel::BuildFailure> failures;
  try {
    failures = codeintel::recordBuildFailures(output.text, report.projectPath, report.triggerFile,
                                              report.sessionID, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] reportBuildFailure error: ") + e.what());
    return failure(e.what());
  }
  return recorded(failures, buildEcho, output.truncated);
}

json reportTestFailure(db::Connection& connection, const TestFailureReport& report) {
  if (report.projectPath.empty()) return failure("project_path is required");
  if (report.testOutput.empty()) return failure("test_output is required");
  const CappedOutput output = capReportOutput(report.testOutput);
  std::vector<codeintel::TestFailure> failures;
  try {
    failures = codeintel::recordTestFailures(output.text, report.projectPath, report.framework,
                                             report.triggerFile, report.sessionID, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] reportTestFailure error: ") + e.what());
    return failure(e.what());
  }
  return recorded(failures, testEcho, output.truncated);
}

}  // namespace nodrel::server
