// codeintel/code_summary.h: a project's code index in figures (files, symbols, edges, the most
// connected files, the last ingestion), computed from the code tables or read as ingestion
// stored it, together with what the next run needs to know of the last one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codeintel/inbound_counts.h"
#include "db/connection.h"

namespace nodrel::codeintel {

struct CodeSummary {
  std::int64_t totalFiles = 0;
  std::int64_t totalSymbols = 0;
  std::int64_t totalEdges = 0;
  // Up to five paths: the files that the most edges of other files point at (one per pair of
  // a symbol of the file and an edge naming it), most first, ties in file row order; files
  // that nothing points at, or whose path is not text, are left out.
  std::vector<std::string> topConnectedFiles;
  std::optional<std::string> lastIngestion;  // the latest `last_parsed`, when it is text
  friend bool operator==(const CodeSummary&, const CodeSummary&) = default;
};

// How many files of the project the code index holds. Throws db::Error.
std::int64_t countCodeFiles(const std::string& project, db::Connection& db);

// The figures read from the code tables. With no file, the other figures are left at zero
// without reading further. Throws db::Error.
CodeSummary computeCodeSummary(const std::string& project, db::Connection& db);

// The figures of rows already read.
CodeSummary codeSummaryFrom(const ProjectCodeCounts& counts);

// What ingestion stored for the project, alongside its figures.
struct StoredCodeSummary {
  std::int64_t generation = 0;
  CodeSummary summary;
  std::optional<std::int64_t> referenceAttempts;  // what linking the imports counted
  std::optional<std::string> fragilityInputs;     // digest of the inputs of the scores
};

// The stored summary while the project's code rows are as they were when it was computed;
// nothing when there is none, it is stale, or it cannot be read. Never throws.
std::optional<StoredCodeSummary> readStoredCodeSummary(const std::string& project,
                                                       db::Connection& db);

// Replaces the project's stored summary. Throws db::Error.
void storeCodeSummary(const std::string& project, const StoredCodeSummary& stored,
                      db::Connection& db);

}  // namespace nodrel::codeintel
