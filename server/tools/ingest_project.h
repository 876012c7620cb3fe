// server/tools/ingest_project.h: the ingestion tool: one whole ingestion run of a project's
// source tree, answered only when it has finished.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "codeintel/impact.h"
#include "db/connection.h"
#include "server/tool_definition.h"

namespace nodrel::server {

// {"success": true, project, files_discovered, files_parsed, files_skipped, symbols_extracted,
// edges_created, errors} or {"success": false, "error": ...}. A path that is not absolute, holds
// "..", a NUL or more than 500 characters is refused before anything is read. Never throws.
// The kept impact graphs, when given, are let go once the run starts: they would no longer
// answer anyway.
nlohmann::json ingestProject(db::Connection& connection, const std::string& projectPath,
                             codeintel::ImpactGraphCache* graphs = nullptr);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& ingestProjectTool();

}  // namespace nodrel::server
