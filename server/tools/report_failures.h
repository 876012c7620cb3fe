// server/tools/report_failures.h: the build and test failure reports: pasted build or test
// output parsed, stored and echoed back.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/write_state.h"

namespace nodrel::server {

// Pasted output beyond this many UTF-8 bytes is cut off unread.
inline constexpr std::size_t kReportOutputCapBytes = 2'097'152;

struct CappedOutput {
  std::string_view text;
  bool truncated = false;
};

// The output whole when it fits the cap, else the part before the cap, moved back to the start
// of the scalar the cap falls in. Invalid UTF-8 is cut at the cap itself.
CappedOutput capReportOutput(std::string_view output);

struct BuildFailureReport {
  std::string projectPath;
  std::string buildOutput;
  std::optional<std::string> triggerFile;
  std::optional<std::string> sessionID;
};

struct TestFailureReport {
  std::string projectPath;
  std::string testOutput;
  std::string framework = "xctest";  // passed on as given; the parser reads unknown names as xctest
  std::optional<std::string> triggerFile;
  std::optional<std::string> sessionID;
};

// {"success": true, failures_ingested, failures, truncated[, note]} or
// {"success": false, "error": ...}. Never throws.
nlohmann::json reportBuildFailure(db::Connection& connection, store::WriteState& state,
                                  const BuildFailureReport& report);
nlohmann::json reportTestFailure(db::Connection& connection, store::WriteState& state,
                                 const TestFailureReport& report);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& reportBuildFailureTool();
const ToolSpec& reportTestFailureTool();

}  // namespace nodrel::server
