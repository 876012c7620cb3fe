#include "server/tools/get_impact.h"

#include <cmath>
#include <exception>

#include "codeintel/impact.h"
#include "codeintel/ingestion.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/tools/tool_result.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::int64_t kTopFragileLimit = 3;

json fragileFilesJSON(const std::vector<codeintel::FragileFileScore>& files) {
  json list = json::array();
  for (const auto& file : files) list.push_back({{"path", file.path}, {"score", file.score}});
  return list;
}

}  // namespace

json predictionJSON(const codeintel::Prediction& prediction) {
  return {{"file", prediction.file},
          {"score", roundedScore(prediction.score)},
          {"reason", prediction.reason},
          {"co_change_count", prediction.coChangeCount},
          {"build_failure_count", prediction.buildFailureCount},
          {"test_failure_count", prediction.testFailureCount}};
}

json getImpact(db::Connection& connection, const std::vector<std::string>& files,
               const std::string& project, codeintel::ImpactGraphCache* graphs) {
  if (project.empty()) return failure("project is required");
  if (files.empty()) return failure("files array is required and must not be empty");

  codeintel::ImpactReport report;
  try {
    report = codeintel::analyzeImpact(project, files, connection, graphs);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] getImpact error: ") + e.what());
    return failure(e.what());
  }

  // Asked apart from the report, so a failure here costs only this list. The project is named
  // as ingestion stored it, as the report does, so "/app/" and "/app" give the same files.
  std::vector<codeintel::FragileFileScore> topFragile;
  try {
    topFragile = codeintel::fetchTopFragileFiles(codeintel::normaliseProjectPath(project),
                                                 kTopFragileLimit, connection);
  } catch (const std::exception&) {
    topFragile.clear();
  }

  json result = {{"success", true},
                 {"report_markdown", codeintel::impactMarkdown(report)},
                 {"changed_files", report.changedFiles},
                 {"direct_dependents", report.directDependents},
                 {"transitive_dependents", report.transitiveDependents},
                 {"fragile_files", report.fragileFiles},
                 {"blast_radius", report.blastRadius},
                 {"risk_level", std::string(codeintel::toString(report.riskLevel))},
                 {"truncated_count", report.truncatedCount},
                 {"high_impact_warnings", report.highImpactWarnings},
                 {"top_fragile_files", fragileFilesJSON(topFragile)}};
  if (!report.topFragileFiles.empty()) {
    result["top_fragile_files_in_report"] = fragileFilesJSON(report.topFragileFiles);
  }
  if (!report.predictions.empty()) {
    json predictions = json::array();
    for (const auto& prediction : report.predictions) {
      predictions.push_back(predictionJSON(prediction));
    }
    result["predictions"] = std::move(predictions);
  }
  return result;
}

const ToolSpec& getImpactTool() {
  static const ToolSpec spec{
      .name = "nodrel_get_impact",
      .description =
          "Analyze the impact of modifying files. Returns direct dependents, transitive "
          "dependents (up to 3 hops), and historically fragile files from git co-change history. "
          "Call this BEFORE modifying high-impact files to understand the blast radius.",
      .properties = {{"files", PropertyType::StringArray,
                      "Array of file paths being changed (absolute or relative to project)"},
                     {"project", PropertyType::String, "Absolute path to the project directory"}},
      .required = {"files", "project"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            auto files = stringsOrNone(call.all, "files");
            return getImpact(server.db(), files, stringOr(call.all, "project", call.projectPath),
                             &server.impactGraphs());
          },
      .summary = "read:impact",
      .paths = {{"project"}},
  };
  return spec;
}

}  // namespace nodrel::server
