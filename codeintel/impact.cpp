#include "codeintel/impact.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "codeintel/co_changes.h"
#include "codeintel/code_generation.h"
#include "codeintel/impact_edges.h"
#include "codeintel/impact_paths.h"
#include "codeintel/ingestion.h"
#include "codeintel/predictive_risk.h"

namespace nodrel::codeintel {
namespace {

constexpr int kDependencyLevels = 3;
constexpr std::size_t kListedDependents = 25;
constexpr std::int64_t kMediumRiskRadius = 6;
constexpr std::int64_t kHighRiskRadius = 16;
// The files changed together most often say best what a change will touch next; even a
// single shared commit is evidence for a file with a short history, but a core file of a long
// history has hundreds of partners, so only the strongest are listed.
constexpr std::size_t kListedPartners = 10;
constexpr std::int64_t kTopFragileCount = 3;
// More warnings than this bury the answer; the files most depended on come first.
constexpr std::size_t kListedWarnings = 10;

std::vector<std::string> coChangePartners(const std::string& project,
                                          const std::vector<std::string>& changed,
                                          db::Connection& db) {
  // Each partner with the most times it changed together with one of the files.
  std::unordered_map<std::string, std::int64_t> partners;
  for (auto& row : fetchCoChangePartners(project, changed, db)) {
    const std::int64_t count = row.count.value_or(0);
    auto [partner, added] = partners.try_emplace(std::move(row.path), count);
    if (!added) partner->second = std::max(partner->second, count);
  }
  for (const auto& path : changed) partners.erase(path);
  std::vector<std::pair<std::string, std::int64_t>> ordered(partners.begin(), partners.end());
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  if (ordered.size() > kListedPartners) ordered.resize(kListedPartners);
  std::vector<std::string> paths;
  paths.reserve(ordered.size());
  for (auto& [path, count] : ordered) paths.push_back(std::move(path));
  return paths;
}

std::vector<std::string> collectHighImpactWarnings(const Ids& ids, EdgeGraph& edges) {
  const auto counts = edges.inboundEdges(ids);
  std::vector<std::pair<std::int64_t, std::string>> flagged;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (counts[i] < kHighImpactInboundEdges) continue;
    // Every dependent has edges, so its path is known from reading them.
    for (auto& path : edges.pathsOf({ids[i]})) flagged.emplace_back(counts[i], std::move(path));
  }
  std::sort(flagged.begin(), flagged.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  if (flagged.size() > kListedWarnings) flagged.resize(kListedWarnings);
  std::vector<std::string> warnings;
  for (const auto& [count, path] : flagged) {
    warnings.push_back(path + " has " + std::to_string(count) +
                       " inbound dependencies — high-impact file, review carefully");
  }
  return warnings;
}

RiskLevel riskForBlastRadius(std::int64_t radius) {
  if (radius >= kHighRiskRadius) return RiskLevel::High;
  if (radius >= kMediumRiskRadius) return RiskLevel::Medium;
  return RiskLevel::Low;
}

Ids withoutRepeats(const Ids& ids) {
  Ids out;
  std::unordered_set<std::string> seen;
  for (const auto& id : ids) {
    if (seen.insert(id).second) out.push_back(id);
  }
  return out;
}

}  // namespace

struct ImpactGraphCache::Graph {
  std::string project;
  std::int64_t generation = 0;
  std::shared_ptr<EdgeReads> reads;
};

ImpactGraphCache::ImpactGraphCache() = default;
ImpactGraphCache::~ImpactGraphCache() = default;

void ImpactGraphCache::clear() { graphs_.clear(); }

ImpactReport analyzeImpact(std::string_view projectPath,
                           const std::vector<std::string>& changedPaths, db::Connection& db,
                           ImpactGraphCache* cache) {
  const std::string project = normaliseProjectPath(projectPath);
  ImpactReport report;

  // Read before anything else, so a graph kept under it was read no earlier than it.
  const auto generation = cache ? codeGeneration(project, db) : std::nullopt;
  std::shared_ptr<EdgeReads> kept;
  if (cache) {
    auto& graphs = cache->graphs_;
    auto it = std::find_if(graphs.begin(), graphs.end(),
                           [&](const auto& graph) { return graph->project == project; });
    if (it != graphs.end()) {
      if (generation && (*it)->generation == *generation) {
        kept = (*it)->reads;
      } else {
        graphs.erase(it);
      }
    }
    // Only what this analysis reaches is read, as without a cache; the next analyses add to it,
    // so the first call after a start or an ingestion does not pay for the whole graph.
    if (!kept && generation) {
      kept = std::make_shared<EdgeReads>();
      graphs.insert(graphs.begin(), std::make_unique<ImpactGraphCache::Graph>(
                                        ImpactGraphCache::Graph{project, *generation, kept}));
      if (graphs.size() > ImpactGraphCache::kKeptProjects) graphs.pop_back();
    }
  }

  const Ids ids = resolveChangedFileIDs(project, changedPaths, db);
  report.changedFiles = relativePathForFileID(ids, db);
  // The changed files' own paths tell which scope sees them, edges or none.
  PathsByID changedPathsByID;
  if (report.changedFiles.size() == ids.size()) {
    for (std::size_t i = 0; i < ids.size(); ++i) changedPathsByID[ids[i]] = report.changedFiles[i];
  }

  EdgeGraph edges(project, db, kept);
  std::unordered_set<std::string> visited(ids.begin(), ids.end());
  std::vector<Ids> levels;
  std::vector<Dependent> direct;  // the first level, with its evidence
  Ids frontier = ids;
  for (int level = 0; level < kDependencyLevels; ++level) {
    Ids fresh;
    for (auto& dependent : edges.dependentsOf(frontier, changedPathsByID)) {
      if (visited.contains(dependent.id)) continue;
      fresh.push_back(dependent.id);
      if (level == 0) direct.push_back(std::move(dependent));
    }
    if (fresh.empty()) break;
    visited.insert(fresh.begin(), fresh.end());
    levels.push_back(fresh);
    frontier = std::move(fresh);
  }
  Ids directIds = levels.empty() ? Ids{} : withoutRepeats(levels[0]);
  Ids transitiveIds;
  for (std::size_t i = 1; i < levels.size(); ++i) {
    transitiveIds.insert(transitiveIds.end(), levels[i].begin(), levels[i].end());
  }
  transitiveIds = withoutRepeats(transitiveIds);

  auto transitive = edges.pathsOf(transitiveIds);
  // History is kept for every path of the tree, not only for the files parsed as code: a
  // changed README, manifest or file of an unparsed language has partners too.
  std::vector<std::string> historyPaths = report.changedFiles;
  for (const auto& given : changedPaths) {
    auto path = lookupPath(project, given);
    if (path && std::find(historyPaths.begin(), historyPaths.end(), *path) == historyPaths.end()) {
      historyPaths.push_back(std::move(*path));
    }
  }
  auto fragile = coChangePartners(project, historyPaths, db);

  Ids dependents = directIds;
  dependents.insert(dependents.end(), transitiveIds.begin(), transitiveIds.end());
  dependents = withoutRepeats(dependents);
  report.blastRadius = static_cast<std::int64_t>(dependents.size());

  // Direct dependents with their paths, the strongest first: an import of a changed file, then
  // the most names used, then path order.
  struct Ranked {
    std::string path;
    bool imports = false;
    std::int64_t names = 0;
  };
  std::vector<Ranked> ranked;
  for (const auto& dependent : direct) {
    for (auto& path : edges.pathsOf({dependent.id})) {
      ranked.push_back({std::move(path), dependent.imports, dependent.names});
    }
  }
  std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    if (a.imports != b.imports) return a.imports;
    if (a.names != b.names) return a.names > b.names;
    return a.path < b.path;
  });
  std::sort(transitive.begin(), transitive.end());
  const std::size_t listed = ranked.size() + transitive.size();
  if (listed > kListedDependents) {
    if (ranked.size() >= kListedDependents) {
      ranked.resize(kListedDependents);
      transitive.clear();
    } else {
      transitive.resize(kListedDependents - ranked.size());
    }
    report.truncatedCount = static_cast<std::int64_t>(listed - kListedDependents);
  }

  std::vector<std::string> directPaths;
  directPaths.reserve(ranked.size());
  for (auto& entry : ranked) directPaths.push_back(std::move(entry.path));
  std::sort(directPaths.begin(), directPaths.end());

  report.highImpactWarnings = collectHighImpactWarnings(dependents, edges);

  try {
    report.topFragileFiles = fetchTopFragileFiles(project, kTopFragileCount, db);
  } catch (const std::exception&) {
    report.topFragileFiles.clear();
  }

  report.riskLevel = riskForBlastRadius(report.blastRadius);

  std::vector<Prediction> merged;
  for (const auto& path : historyPaths) {
    std::vector<Prediction> predictions;
    try {
      predictions = predictCoChanges(project, path, db);
    } catch (const std::exception&) {
      continue;
    }
    for (auto& prediction : predictions) {
      auto same = std::find_if(merged.begin(), merged.end(),
                               [&](const Prediction& p) { return p.file == prediction.file; });
      if (same == merged.end()) {
        merged.push_back(std::move(prediction));
      } else if (prediction.score > same->score) {
        *same = std::move(prediction);
      }
    }
  }
  std::stable_sort(merged.begin(), merged.end(),
                   [](const Prediction& a, const Prediction& b) { return a.score > b.score; });
  report.predictions = std::move(merged);

  report.directDependents = std::move(directPaths);
  report.transitiveDependents = std::move(transitive);
  report.fragileFiles = std::move(fragile);
  return report;
}

}  // namespace nodrel::codeintel
