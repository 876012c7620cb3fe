// codeintel/inbound_counts.h: how many edges of a project's files point at the names each file
// declares, with the project's files and the counts of its rows, read once so that the
// fragility scores and the stored summary of a run share one pass over the code tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "db/connection.h"
#include "db/value.h"

namespace nodrel::codeintel {

struct ProjectCodeFile {
  std::int64_t rowid = 0;
  db::Value id;
  db::Value relativePath;
  std::optional<double> storedScore;  // nothing while the file was never scored
  // Edges of the project's other files whose target is the name of one of its symbols, one per
  // (symbol, edge) pair; a name stored in bytes is met by a target of the same bytes.
  std::int64_t inbound = 0;
};

struct ProjectCodeCounts {
  // The project's code counter before and after the rows were read; the rows are one state of
  // the project only when the two are equal (every write of code rows raises it).
  std::optional<std::int64_t> generation;
  std::vector<ProjectCodeFile> files;  // every code file of the project, in database order
  // File id to its inbound count (above 0) over text names, for every file declaring a name
  // that the project's edges point at, files of other projects included.
  std::unordered_map<std::string, double> inboundByFileID;
  std::int64_t totalSymbols = 0;             // of the project's files
  std::int64_t totalEdges = 0;               // of the project's files, whatever their target
  std::optional<std::string> lastIngestion;  // the latest `last_parsed`, when it is text
};

// Reads the project's files, edges and the symbols those edges name. Throws db::Error.
ProjectCodeCounts readProjectCodeCounts(const std::string& project, db::Connection& db);

}  // namespace nodrel::codeintel
