// server/tools/ingest_project.h: nodrel_ingest_project, one whole ingestion run of a project's
// source tree, answered only when it has finished.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

// {"success": true, project, files_discovered, files_parsed, files_skipped, symbols_extracted,
// edges_created, errors} or {"success": false, "error": ...}. A path that is not absolute, holds
// "..", a NUL or more than 500 characters is refused before anything is read. Never throws.
nlohmann::json ingestProject(db::Connection& connection, const std::string& projectPath);

}  // namespace nodrel::server
