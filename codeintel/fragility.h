// codeintel/fragility.h: every code file's fragility score (0 to 1), a fixed-weight mix of how
// much other files depend on it, how often it changed together with other files, and how
// often it appeared in the project's recent build-failure reports; and the top-N query.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codeintel/inbound_counts.h"
#include "codeintel/report_records.h"
#include "codeintel/text_map.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// Recomputes and stores the score of every code file of `project` in one transaction: either
// every file gets its new score or none does. Throws db::Error when a query cannot run.
void recomputeFragilityScores(const std::string& project, db::Connection& db);
// The scores' inputs besides the code rows: co-change totals by path and recent build-failure
// shares by path.
struct FragilityTables {
  TextViewMap<double> coChanges;
  std::unordered_map<std::string, double> buildShares;
  bool buildSharesRead = true;  // false when they could not be read: no file has a build term
};

// Throws db::Error when the co-change totals cannot be read; a failing read of the build-failure
// shares leaves them empty and says so.
FragilityTables readFragilityTables(const std::string& project, db::Connection& db);

// The same from the project's code rows and tables already read.
void recomputeFragilityScores(const std::string& project, const ProjectCodeCounts& counts,
                              db::Connection& db);
void recomputeFragilityScores(const ProjectCodeCounts& counts, const FragilityTables& tables,
                              db::Connection& db);

// File id to the number of edges of the project's files, found in another file, that point at
// one of its symbols. Throws db::Error.
std::unordered_map<std::string, double> fetchInboundCounts(const std::string& project,
                                                           db::Connection& db);
// (id, relative path) of every code file of the project, in database order. Throws db::Error.
std::vector<std::pair<std::string, std::string>> fetchProjectFiles(const std::string& project,
                                                                   db::Connection& db);

// The `limit` highest-scored files of the project, highest first; unscored files are left out
// but still use up their place. Throws db::Error.
std::vector<FragileFileScore> fetchTopFragileFiles(const std::string& project, std::int64_t limit,
                                                   db::Connection& db);

}  // namespace nodrel::codeintel
