// codeintel/impact.h: what a change to some files of an ingested project affects: dependents
// up to the third remove, blast radius and risk level, co-change partners, high-impact
// warnings, the most fragile files and predicted risks; and the report's Markdown.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "codeintel/fragility.h"  // fetchTopFragileFiles
#include "codeintel/report_records.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// `project` is normalised as ingestion stores it. Each changed path may be relative to the
// project root, a trailing part of such a path at a "/" boundary, a bare file name, or an
// absolute path under the root; it resolves by exact match first, then by suffix, then by file
// name, and empty paths are ignored. Reads only. Throws db::Error when a query fails; a failure
// of the top-fragile query or of one file's predictions only leaves those entries out.
ImpactReport analyzeImpact(std::string_view project, const std::vector<std::string>& changedPaths,
                           db::Connection& db);

// The report as Markdown; lines joined by "\n", always ending with one. Never fails.
std::string impactMarkdown(const ImpactReport& report);

}  // namespace nodrel::codeintel
