// codeintel/impact.h: what a change to some files of an ingested project affects: dependents
// up to the third remove, blast radius and risk level, co-change partners, high-impact
// warnings, the most fragile files and predicted risks; and the report's Markdown.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codeintel/fragility.h"  // fetchTopFragileFiles
#include "codeintel/report_records.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// What analyses read of the edge graphs of the projects analysed last (EdgeReads: the rows they
// reached, or the whole graph), kept by a caller that lives long (the server), so that an
// analysis does not read those edges again. Kept rows answer only while the project's code
// counter (code_generation.h) is the one they were read at, so ingestion by any connection
// drops them. Not for use by two threads at once.
class ImpactGraphCache {
 public:
  ImpactGraphCache();
  ~ImpactGraphCache();
  ImpactGraphCache(const ImpactGraphCache&) = delete;
  ImpactGraphCache& operator=(const ImpactGraphCache&) = delete;

  void clear();
  std::size_t size() const { return graphs_.size(); }  // graphs kept

 private:
  friend ImpactReport analyzeImpact(std::string_view, const std::vector<std::string>&,
                                    db::Connection&, ImpactGraphCache*);
  static constexpr std::size_t kKeptProjects = 2;
  struct Graph;
  std::vector<std::unique_ptr<Graph>> graphs_;  // most recently kept first
};

// `project` is normalised as ingestion stores it. Each changed path may be relative to the
// project root, a trailing part of such a path at a "/" boundary, a bare file name, or an
// absolute path under the root; it resolves by exact match first, then by suffix, then by file
// name, and empty paths are ignored. Reads only. Throws db::Error when a query fails; a failure
// of the top-fragile query or of one file's predictions only leaves those entries out.
// With a cache, the project's whole graph is taken from it, or read and kept there; the report
// is the same either way.
ImpactReport analyzeImpact(std::string_view project, const std::vector<std::string>& changedPaths,
                           db::Connection& db, ImpactGraphCache* cache = nullptr);

// The report as Markdown; lines joined by "\n", always ending with one. Never fails.
std::string impactMarkdown(const ImpactReport& report);

}  // namespace nodrel::codeintel
