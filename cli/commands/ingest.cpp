// cli/commands/ingest.cpp: `nodrel ingest --path PATH`: indexes a project's sources through the
// same ingestion service as the server's tool, then mines its git history for co-changes.
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/output.h"
#include "codeintel/co_change_analyzer.h"
#include "codeintel/code_ingestion_service.h"
#include "codeintel/run_summary.h"
#include "db/connection.h"
#include "db/schema.h"
#include "platform/paths.h"

namespace nodrel::cli {
namespace {

void printSummary(const codeintel::IngestionResult& result) {
  writeOut("Ingestion complete: " + result.project + "\n");
  writeOut("  Files discovered:  " + std::to_string(result.filesDiscovered) + "\n");
  writeOut("  Files parsed:      " + std::to_string(result.filesParsed) + "\n");
  writeOut("  Files skipped:     " + std::to_string(result.filesSkipped) + "\n");
  writeOut("  Symbols extracted: " + std::to_string(result.symbolsExtracted) + "\n");
  writeOut("  Edges created:     " + std::to_string(result.edgesCreated) + "\n");
  if (result.errors.empty()) return;
  writeErr("  Errors:\n");
  for (const auto& error : result.errors) writeErr("    - " + error + "\n");
}

}  // namespace

int runIngest(Arguments args) {
  std::optional<std::string> path;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] != "--path") continue;
    if (i + 1 < args.size()) path = args[i + 1];
    break;
  }
  if (!path) {
    writeErr("Usage: nodrel ingest --path PATH\n");
    return 1;
  }
  std::error_code missing;
  if (!std::filesystem::exists(*path, missing)) {
    writeErr("nodrel: directory not found: " + *path + "\n");
    return 1;
  }

  try {
    const auto base = platform::NodrelPaths::baseDirectory();
    platform::NodrelPaths::ensureDirectory(base);
    db::Connection db = db::Connection::open(base / "nodrel.db", {.create = true});
    // Ingesting may be the first thing a user does, before `nodrel-app init`.
    db::ensureSchema(db);
    codeintel::CodeIngestionService service(db);
    const codeintel::IngestionResult result =
        service.writeQueue().sync([&] { return service.ingest(*path); });
    printSummary(result);

    writeOut("Running co-change analysis...\n");
    // Under the project key the files were stored with, so impact and fragility find the pairs
    // however the path was typed.
    // The ingestion scored the files against the pairs of the last mining; newly mined pairs
    // are scored now, so the next unchanged run finds the scores current.
    if (codeintel::CoChangeAnalyzer::analyze(result.project, db, writeErr)) {
      codeintel::refreshFragilityScores(result.project, db);
    }
    writeOut("Co-change analysis complete.\n");
  } catch (const std::exception& error) {
    writeErr("nodrel: ingestion failed: " + std::string(error.what()) + "\n");
    return 1;
  }
  return 0;
}

}  // namespace nodrel::cli
