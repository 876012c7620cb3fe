#include "codeintel/impact.h"

#include <algorithm>
#include <filesystem>
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

constexpr std::string_view kSelectRelativePath =
    "SELECT relative_path FROM code_files WHERE id = ?";

// The id lists grow with the repository, so they travel as one JSON array each instead of one
// parameter per element, which SQLite caps. The names drive the join (CROSS JOIN fixes the
// order) so that edges are found through their target instead of by scanning the project.
constexpr std::string_view kSelectDependentsByName = R"sql(SELECT DISTINCT ce.file_id
FROM (
    SELECT DISTINCT name FROM code_symbols
    WHERE file_id IN (SELECT value FROM json_each(?)) AND typeof(name) = 'text'
) s
CROSS JOIN code_edges ce ON ce.to_symbol = s.name
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?
  AND ce.file_id NOT IN (SELECT value FROM json_each(?)))sql";

constexpr std::string_view kSelectDependentsByReference = R"sql(SELECT DISTINCT ce.file_id
FROM json_each(?) r
CROSS JOIN code_edges ce ON ce.to_symbol = 'file:' || r.value
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?
  AND ce.file_id NOT IN (SELECT value FROM json_each(?)))sql";

constexpr std::string_view kSelectCoChangePartners = R"sql(SELECT
    CASE WHEN file_a = ? THEN file_b ELSE file_a END AS partner
FROM co_changes
WHERE project = ?
  AND (file_a = ? OR file_b = ?)
  AND count > ?)sql";

// For each file of the array, in array order: the edges of the project's other files that
// point at one of its names (each edge once, however often the file declares the name).
constexpr std::string_view kCountInboundEdges = R"sql(SELECT d.value, (
    SELECT COUNT(*)
    FROM (
        SELECT DISTINCT name FROM code_symbols WHERE file_id = d.value AND typeof(name) = 'text'
    ) s
    CROSS JOIN code_edges ce ON ce.to_symbol = s.name
    JOIN code_files cf ON cf.id = ce.file_id
    WHERE cf.project = ?
      AND ce.file_id != d.value
)
FROM json_each(?) d)sql";

constexpr int kDependencyLevels = 3;
constexpr std::size_t kListedDependents = 25;
constexpr std::int64_t kMediumRiskRadius = 6;
constexpr std::int64_t kHighRiskRadius = 16;
constexpr std::int64_t kCoChangeMinimumExceeded = 3;
constexpr std::int64_t kHighImpactInboundEdges = 21;
constexpr std::int64_t kTopFragileCount = 3;

using Ids = std::vector<std::string>;

std::string jsonArray(const Ids& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (unsigned char c : values[i]) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20) {
        static const char* hex = "0123456789abcdef";
        out += "\\u00";
        out += hex[c >> 4];
        out += hex[c & 15];
      } else {
        out += static_cast<char>(c);
      }
    }
    out += '"';
  }
  out += ']';
  return out;
}

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
  auto stmt = db.prepare(kSelectRelativePath);
  for (const auto& id : ids) {
    stmt.reset();
    stmt.bindText(1, id);
    while (stmt.step()) {
      auto value = stmt.column(0);
      if (auto text = db::textOf(value)) paths.push_back(*text);
    }
  }
  return paths;
}

Ids findDependentFiles(const std::string& project, const Ids& frontier, db::Connection& db) {
  Ids found;
  if (frontier.empty()) return found;
  std::unordered_set<std::string> seen;
  const std::string frontierJSON = jsonArray(frontier);
  for (auto sql : {kSelectDependentsByName, kSelectDependentsByReference}) {
    auto stmt = db.prepare(sql);
    stmt.bindText(1, frontierJSON).bindText(2, project).bindText(3, frontierJSON);
    collectIds(stmt, found, seen);
  }
  return found;
}

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

std::vector<std::string> collectHighImpactWarnings(const std::string& project, const Ids& ids,
                                                   db::Connection& db) {
  std::vector<std::string> warnings;
  if (ids.empty()) return warnings;
  std::vector<std::pair<std::string, std::int64_t>> heavy;
  {
    auto stmt = db.prepare(kCountInboundEdges);
    stmt.bindText(1, project).bindText(2, jsonArray(ids));
    while (stmt.step()) {
      auto id = stmt.column(0);
      auto count = db::integerOf(stmt.column(1)).value_or(0);
      if (auto text = db::textOf(id); text && count >= kHighImpactInboundEdges) {
        heavy.emplace_back(*text, count);
      }
    }
  }
  for (const auto& [id, count] : heavy) {
    for (const auto& path : relativePathForFileID({id}, db)) {
      warnings.push_back(path + " has " + std::to_string(count) +
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

  std::unordered_set<std::string> visited(ids.begin(), ids.end());
  std::vector<Ids> levels;
  Ids frontier = ids;
  for (int level = 0; level < kDependencyLevels; ++level) {
    Ids fresh;
    for (auto& id : findDependentFiles(project, frontier, db)) {
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

  auto direct = relativePathForFileID(directIds, db);
  auto transitive = relativePathForFileID(transitiveIds, db);
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

  report.highImpactWarnings = collectHighImpactWarnings(project, dependents, db);

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
