// server/tools/get_impact.h: the impact tool: what a change to some files of an ingested
// project affects, as the report's fields and its Markdown.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "codeintel/impact.h"
#include "codeintel/report_records.h"
#include "db/connection.h"
#include "server/tool_definition.h"

namespace nodrel::server {

// {"success": true, report_markdown, changed_files, direct_dependents, transitive_dependents,
// fragile_files, blast_radius, risk_level, truncated_count, high_impact_warnings,
// top_fragile_files[, top_fragile_files_in_report][, predictions]} or
// {"success": false, "error": ...}. Never throws. `graphs`, when given, keeps the project's
// edge graph for the next call.
nlohmann::json getImpact(db::Connection& connection, const std::vector<std::string>& files,
                         const std::string& project, codeintel::ImpactGraphCache* graphs = nullptr);

// file, score (to three decimals, halves away from zero), reason and the three counts.
nlohmann::json predictionJSON(const codeintel::Prediction& prediction);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& getImpactTool();

}  // namespace nodrel::server
