#include "codeintel/impact.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "codeintel/ingestion.h"
#include "codeintel/predictive_risk.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectFileByPath = R"sql(SELECT id FROM code_files
WHERE project = ? AND relative_path = ?)sql";

constexpr std::string_view kSelectFilesByPathSuffix = R"sql(SELECT id FROM code_files
WHERE project = ? AND relative_path LIKE ? ESCAPE '\')sql";

constexpr std::string_view kSelectFilesByFileName = R"sql(SELECT id FROM code_files
WHERE project = ? AND (
    relative_path = ?
    OR relative_path LIKE ? ESCAPE '\'
))sql";

// Lists that grow with the repository travel as one JSON array instead of one parameter per
// element, which SQLite caps; rows come back in the array's order.
constexpr std::string_view kSelectRelativePaths = R"sql(SELECT f.value, cf.relative_path
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value)sql";

// The declarations of names that some edge points at: the only names that make a file a
// dependency or count towards its inbound edges.
constexpr std::string_view kSelectDeclarationsOfNames = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) n
CROSS JOIN code_symbols cs ON cs.name = n.value)sql";

// Every edge of the project's files, by target. Read once per analysis, it answers each
// dependency level and each inbound count by lookups instead of a query per file.
// Scanning the edges in table order is cheaper than reaching them file by file; the paths of
// their files come along, since every dependent is such a file.
constexpr std::string_view kSelectProjectEdges = R"sql(SELECT ce.to_symbol, ce.file_id, cf.relative_path
FROM code_edges ce NOT INDEXED
CROSS JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?)sql";

constexpr std::string_view kSelectCoChangePartners = R"sql(SELECT
    CASE WHEN file_a = ? THEN file_b ELSE file_a END AS partner
FROM co_changes
WHERE project = ?
  AND (file_a = ? OR file_b = ?)
  AND count > ?)sql";

constexpr int kDependencyLevels = 3;
constexpr std::size_t kListedDependents = 25;
constexpr std::int64_t kMediumRiskRadius = 6;
constexpr std::int64_t kHighRiskRadius = 16;
constexpr std::int64_t kCoChangeMinimumExceeded = 3;
constexpr std::int64_t kHighImpactInboundEdges = 21;
constexpr std::int64_t kTopFragileCount = 3;

using Ids = std::vector<std::string>;

std::string jsonArray(const Ids& values) { return sqlJsonArray(values); }

std::string escapeLike(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '%' || c == '_') out += '\\';
    out += c;
  }
  return out;
}

// Appends to `ids` the text values of the first column, keeping first occurrences only;
// true when any row held one, whether new or seen before.
bool collectIds(db::Statement& stmt, Ids& ids, std::unordered_set<std::string>& seen) {
  bool any = false;
  while (stmt.step()) {
    auto value = stmt.column(0);
    auto text = db::textOf(value);
    if (!text) continue;
    any = true;
    if (seen.insert(*text).second) ids.push_back(*text);
  }
  return any;
}

// The path as the lookups compare it: relative to the project root when it lies under it,
// "." segments, repeated and trailing "/" removed; nothing when no file could be meant.
std::optional<std::string> lookupPath(const std::string& project, const std::string& given) {
  if (given.empty()) return std::nullopt;
  std::string path = given;
  if (path.front() == '/') {
    std::string root = project == "/" ? "/" : project + "/";
    if (path.starts_with(root)) {
      path.erase(0, root.size());
    } else if (path == project) {
      return std::nullopt;
    }
  }
  path = std::filesystem::path(path).lexically_normal().generic_string();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty() || path == "." || path == "/") return std::nullopt;
  return path;
}

Ids resolveChangedFileIDs(const std::string& project, const std::vector<std::string>& paths,
                          db::Connection& db) {
  Ids ids;
  std::unordered_set<std::string> seen;
  auto exact = db.prepare(kSelectFileByPath);
  auto suffix = db.prepare(kSelectFilesByPathSuffix);
  auto byName = db.prepare(kSelectFilesByFileName);
  for (const auto& given : paths) {
    auto path = lookupPath(project, given);
    if (!path) continue;
    bool found = false;
    if (path->front() != '/') {
      exact.reset();
      exact.bindText(1, project).bindText(2, *path);
      found = collectIds(exact, ids, seen);
      if (!found) {
        suffix.reset();
        suffix.bindText(1, project).bindText(2, "%/" + escapeLike(*path));
        found = collectIds(suffix, ids, seen);
      }
    }
    auto slash = path->rfind('/');
    if (!found && slash != std::string::npos && slash + 1 < path->size()) {
      std::string name = path->substr(slash + 1);
      byName.reset();
      byName.bindText(1, project).bindText(2, name).bindText(3, "%/" + escapeLike(name));
      collectIds(byName, ids, seen);
    }
  }
  return ids;
}

std::vector<std::string> relativePathForFileID(const Ids& ids, db::Connection& db) {
  std::vector<std::string> paths;
  if (ids.empty()) return paths;
  auto stmt = db.prepare(kSelectRelativePaths);
  stmt.bindText(1, jsonArray(ids));
  while (stmt.step()) {
    auto value = stmt.column(1);
    if (auto text = db::textOf(value)) paths.push_back(*text);
  }
  return paths;
}

class ProjectEdges {
 public:
  ProjectEdges(const std::string& project, db::Connection& db) {
    auto stmt = db.prepare(kSelectProjectEdges);
    stmt.bindText(1, project);
    while (stmt.step()) {
      auto targetValue = stmt.column(0);
      auto fileValue = stmt.column(1);
      auto target = db::textOf(targetValue);
      auto file = db::textOf(fileValue);
      if (!target || !file) continue;
      auto [slot, added] = fileIndex_.try_emplace(*file, static_cast<std::uint32_t>(files_.size()));
      if (added) {
        files_.push_back(*file);
        targetsOfFile_.emplace_back();
        auto pathValue = stmt.column(2);
        auto path = db::textOf(pathValue);
        paths_.push_back(path ? std::optional<std::string>(*path) : std::nullopt);
      }
      auto& entry = *byTarget_.try_emplace(*target).first;
      entry.second.push_back(slot->second);
      targetsOfFile_[slot->second].push_back(&entry.first);
    }
    if (byTarget_.empty()) return;
    Ids targets;
    targets.reserve(byTarget_.size());
    for (const auto& [target, files] : byTarget_) targets.push_back(target);
    auto declarations = db.prepare(kSelectDeclarationsOfNames);
    declarations.bindText(1, jsonArray(targets));
    while (declarations.step()) {
      auto fileValue = declarations.column(0);
      auto nameValue = declarations.column(1);
      auto file = db::textOf(fileValue);
      auto name = db::textOf(nameValue);
      if (!file || !name) continue;
      auto target = byTarget_.find(*name);
      if (target != byTarget_.end()) declaredTargets_[*file].push_back(&target->first);
    }
    for (auto& [file, names] : declaredTargets_) {
      std::sort(names.begin(), names.end());
      names.erase(std::unique(names.begin(), names.end()), names.end());
    }
  }

  // Files with an edge to a name that a frontier file declares or to a frontier file itself,
  // other than the frontier files; in the order first found.
  Ids dependentsOf(const Ids& frontier) const {
    Ids found;
    std::unordered_set<std::string_view> excluded(frontier.begin(), frontier.end());
    std::unordered_set<std::uint32_t> seen;
    auto take = [&](const std::vector<std::uint32_t>& files) {
      for (auto index : files) {
        if (seen.insert(index).second && !excluded.contains(files_[index])) {
          found.push_back(files_[index]);
        }
      }
    };
    std::unordered_set<const std::string*> names;
    for (const auto& id : frontier) {
      if (auto declared = declaredTargets_.find(id); declared != declaredTargets_.end()) {
        names.insert(declared->second.begin(), declared->second.end());
      }
    }
    for (const auto* name : names) take(byTarget_.at(*name));
    for (const auto& id : frontier) {
      if (auto it = byTarget_.find("file:" + id); it != byTarget_.end()) take(it->second);
    }
    return found;
  }

  // The relative paths of files that have edges, in the order of `ids`; a file without edges
  // or with a path that is not text adds nothing.
  std::vector<std::string> pathsOf(const Ids& ids) const {
    std::vector<std::string> paths;
    for (const auto& id : ids) {
      if (auto it = fileIndex_.find(id); it != fileIndex_.end() && paths_[it->second]) {
        paths.push_back(*paths_[it->second]);
      }
    }
    return paths;
  }

  // Edges of the project's other files that point at one of the file's names, each edge once.
  std::int64_t inboundEdges(const std::string& file) const {
    auto declared = declaredTargets_.find(file);
    if (declared == declaredTargets_.end()) return 0;
    std::int64_t count = 0;
    std::unordered_set<const std::string*> own(declared->second.begin(), declared->second.end());
    for (const auto* name : declared->second) {
      count += static_cast<std::int64_t>(byTarget_.at(*name).size());
    }
    if (auto it = fileIndex_.find(file); it != fileIndex_.end()) {
      for (const auto* target : targetsOfFile_[it->second]) {
        if (own.contains(target)) --count;
      }
    }
    return count;
  }

 private:
  std::vector<std::string> files_;
  std::vector<std::optional<std::string>> paths_;
  std::unordered_map<std::string, std::uint32_t> fileIndex_;
  std::unordered_map<std::string, std::vector<std::uint32_t>> byTarget_;
  std::vector<std::vector<const std::string*>> targetsOfFile_;
  // File id to the edge targets it declares (pointers to byTarget_'s keys), without repeats.
  std::unordered_map<std::string, std::vector<const std::string*>> declaredTargets_;
};

std::vector<std::string> coChangePartners(const std::string& project,
                                          const std::vector<std::string>& changed,
                                          db::Connection& db) {
  std::unordered_set<std::string> partners;
  auto stmt = db.prepare(kSelectCoChangePartners);
  for (const auto& path : changed) {
    stmt.reset();
    stmt.bindText(1, path).bindText(2, project).bindText(3, path).bindText(4, path);
    stmt.bindInt(5, kCoChangeMinimumExceeded);
    while (stmt.step()) {
      auto value = stmt.column(0);
      if (auto text = db::textOf(value)) partners.insert(*text);
    }
  }
  for (const auto& path : changed) partners.erase(path);
  return {partners.begin(), partners.end()};
}

std::vector<std::string> collectHighImpactWarnings(const Ids& ids, const ProjectEdges& edges) {
  std::vector<std::string> warnings;
  Ids heavy;
  std::vector<std::int64_t> counts;
  for (const auto& id : ids) {
    const std::int64_t count = edges.inboundEdges(id);
    if (count < kHighImpactInboundEdges) continue;
    heavy.push_back(id);
    counts.push_back(count);
  }
  // Every dependent has edges, so its path is known from the scan.
  for (std::size_t i = 0; i < heavy.size(); ++i) {
    for (const auto& path : edges.pathsOf({heavy[i]})) {
      warnings.push_back(path + " has " + std::to_string(counts[i]) +
                         " inbound dependencies — high-impact file, review carefully");
    }
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

ImpactReport analyzeImpact(std::string_view projectPath,
                           const std::vector<std::string>& changedPaths, db::Connection& db) {
  const std::string project = normaliseProjectPath(projectPath);
  ImpactReport report;

  const Ids ids = resolveChangedFileIDs(project, changedPaths, db);
  report.changedFiles = relativePathForFileID(ids, db);

  const ProjectEdges edges(project, db);
  std::unordered_set<std::string> visited(ids.begin(), ids.end());
  std::vector<Ids> levels;
  Ids frontier = ids;
  for (int level = 0; level < kDependencyLevels; ++level) {
    Ids fresh;
    for (auto& id : edges.dependentsOf(frontier)) {
      if (!visited.contains(id)) fresh.push_back(std::move(id));
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

  auto direct = edges.pathsOf(directIds);
  auto transitive = edges.pathsOf(transitiveIds);
  auto fragile = coChangePartners(project, report.changedFiles, db);

  Ids dependents = directIds;
  dependents.insert(dependents.end(), transitiveIds.begin(), transitiveIds.end());
  dependents = withoutRepeats(dependents);
  report.blastRadius = static_cast<std::int64_t>(dependents.size());

  std::sort(direct.begin(), direct.end());
  std::sort(transitive.begin(), transitive.end());
  const std::size_t listed = direct.size() + transitive.size();
  if (listed > kListedDependents) {
    if (direct.size() >= kListedDependents) {
      direct.resize(kListedDependents);
      transitive.clear();
    } else {
      transitive.resize(kListedDependents - direct.size());
    }
    report.truncatedCount = static_cast<std::int64_t>(listed - kListedDependents);
  }

  report.highImpactWarnings = collectHighImpactWarnings(dependents, edges);

  try {
    report.topFragileFiles = fetchTopFragileFiles(project, kTopFragileCount, db);
  } catch (const std::exception&) {
    report.topFragileFiles.clear();
  }

  report.riskLevel = riskForBlastRadius(report.blastRadius);

  std::vector<Prediction> merged;
  for (const auto& path : report.changedFiles) {
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

  std::sort(fragile.begin(), fragile.end());
  report.directDependents = std::move(direct);
  report.transitiveDependents = std::move(transitive);
  report.fragileFiles = std::move(fragile);
  return report;
}

std::string impactMarkdown(const ImpactReport& report) {
  std::vector<std::string> lines;
  lines.push_back("## Impact Analysis");
  lines.push_back("");
  std::string changed = "**Changed files:** ";
  for (std::size_t i = 0; i < report.changedFiles.size(); ++i) {
    if (i) changed += ", ";
    changed += report.changedFiles[i];
  }
  lines.push_back(changed);
  const std::int64_t radius = report.blastRadius;
  const std::int64_t cut = report.truncatedCount;
  std::string size = cut <= 0 ? std::to_string(radius) + " files"
                              : std::to_string(radius) + "+ files (showing top " +
                                    std::to_string(radius - cut) + ", " + std::to_string(cut) +
                                    " omitted)";
  lines.push_back("**Blast radius:** " + size + " | **Risk:** " +
                  std::string(toString(report.riskLevel)));
  lines.push_back("");

  auto section = [&](const std::string& heading, const std::vector<std::string>& entries,
                     const std::string& suffix) {
    if (entries.empty()) return;
    lines.push_back(heading);
    for (const auto& entry : entries) lines.push_back("- " + entry + suffix);
    lines.push_back("");
  };
  section("### High-Impact Warnings", report.highImpactWarnings, "");
  section("### Direct Dependents (" + std::to_string(report.directDependents.size()) + " files)",
          report.directDependents, "");
  section("### Transitive Dependents (" + std::to_string(report.transitiveDependents.size()) +
              " files)",
          report.transitiveDependents, "");
  if (cut >= 1) {
    lines.push_back("*" + std::to_string(cut) +
                    " additional file(s) not shown — blast radius exceeds display limit.*");
    lines.push_back("");
  }
  section("### Historically Fragile Files", report.fragileFiles,
          " — frequently co-changes, check carefully");
  if (!report.topFragileFiles.empty()) {
    lines.push_back("### Most Fragile Files in Project");
    for (const auto& file : report.topFragileFiles) {
      lines.push_back("- " + file.path + " — fragility " + percentText(file.score) + "%");
    }
    lines.push_back("");
  }
  if (!report.predictions.empty()) {
    lines.push_back("### Predictive Risk (Phase F.3)");
    for (const auto& prediction : report.predictions) {
      lines.push_back("- " + prediction.file + " — score " + percentText(prediction.score) +
                      "% — " + prediction.reason);
    }
    lines.push_back("");
  }

  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i) text += '\n';
    text += lines[i];
  }
  return text;
}

}  // namespace nodrel::codeintel
