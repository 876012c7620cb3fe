#include "server/tools/ingest_project.h"

#include <exception>

#include "codeintel/code_ingestion_service.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/validation.h"

namespace nodrel::server {

using nlohmann::json;

json ingestProject(db::Connection& connection, const std::string& projectPath,
                   codeintel::ImpactGraphCache* graphs) {
  if (projectPath.empty()) return {{"success", false}, {"error", "project_path is required"}};
  // A relative path would resolve against the server's own working directory, and a NUL would
  // cut the path short and ingest some other directory.
  if (auto message = validateProjectPath(projectPath)) {
    return {{"success", false}, {"error", *message}};
  }
  if (auto refusal = codeintel::wholeTreeRefusal(projectPath)) {
    return {{"success", false}, {"error", *refusal}};
  }

  if (graphs) graphs->clear();
  codeintel::IngestionResult result;
  try {
    codeintel::CodeIngestionService service(connection);
    result = service.writeQueue().sync([&] { return service.ingest(projectPath); });
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] ingestProject error: ") + e.what());
    return {{"success", false}, {"error", e.what()}};
  }
  return {{"success", true},
          {"project", result.project},
          {"files_discovered", result.filesDiscovered},
          {"files_parsed", result.filesParsed},
          {"files_skipped", result.filesSkipped},
          {"symbols_extracted", result.symbolsExtracted},
          {"edges_created", result.edgesCreated},
          {"errors", result.errors}};
}

const ToolSpec& ingestProjectTool() {
  static const ToolSpec spec{
      .name = "nodrel_ingest_project",
      .description =
          "Parse and index all source files in a project directory. Extracts imports, type "
          "declarations, inheritance, and protocol conformances to build a structural dependency "
          "graph. Runs incrementally \u2014 only re-parses files that have changed since the last "
          "ingestion.",
      .properties = {{"project_path", PropertyType::String,
                      "Absolute path to the project directory to ingest"}},
      .required = {"project_path"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return ingestProject(server.db(), call.projectPath, &server.impactGraphs());
          },
      .summary = "write:ingest",
      .writes = true,
      .scope = "code_files,code_edges",
      // Ingestion commits file by file so that the hook commands can write between its files;
      // it is not held in one transaction.
      .commitsAsItGoes = true,
  };
  return spec;
}

}  // namespace nodrel::server
