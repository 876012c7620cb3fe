#include "codeintel/impact.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <unordered_set>

#include "codeintel/code_generation.h"
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

// The names that some files declare and some edge points at, read for the files that one
// analysis reaches; a name that no edge points at makes no dependent and counts no edge, and
// most names are such names.
constexpr std::string_view kSelectTargetNamesOfFiles = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) f
CROSS JOIN code_symbols cs ON cs.file_id = f.value
WHERE EXISTS (SELECT 1 FROM code_edges ce WHERE ce.to_symbol = cs.name))sql";

// The project's edges that point at some targets, one row per edge, with the path of the file
// each belongs to, since every dependent is such a file.
constexpr std::string_view kSelectEdgesToTargets = R"sql(SELECT t.value, ce.file_id, cf.relative_path
FROM json_each(?) t
CROSS JOIN code_edges ce ON ce.to_symbol = t.value
CROSS JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?)sql";

// The targets of every edge of some files, to take a file's edges to its own names out of its
// inbound count.
constexpr std::string_view kSelectTargetsOfFiles = R"sql(SELECT f.value, ce.to_symbol
FROM json_each(?) f
CROSS JOIN code_edges ce ON ce.file_id = f.value)sql";

// The declarations of names that some edge points at: the only names that make a file a
// dependency or count towards its inbound edges.
constexpr std::string_view kSelectDeclarationsOfNames = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) n
CROSS JOIN code_symbols cs ON cs.name = n.value)sql";

// Every edge of the project's files, by target, for an analysis that reaches much of the
// project: scanning the edges in table order is then cheaper than reaching them by index; the
// paths of their files come along, since every dependent is such a file.
constexpr std::string_view kSelectProjectEdges = R"sql(SELECT ce.to_symbol, ce.file_id, cf.relative_path
FROM code_edges ce NOT INDEXED
CROSS JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?)sql";

constexpr std::string_view kCountProjectFiles = R"sql(SELECT COUNT(*) FROM code_files
WHERE project = ?)sql";

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
// The whole graph is read once a dependency frontier holds an eighth of the project's files, or
// the dependents whose names were not read yet a quarter: past those shares, reading the files
// by index costs more than one scan of every edge (measured on Go's standard library, where most
// names are declared in many files, and on a TypeScript tree of import references).
constexpr std::size_t kWalkedShareOfFrontier = 8;
constexpr std::size_t kWalkedShareOfDependents = 4;

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

// Maps keyed by text that look up by a view of it, so rows read without a copy are looked up
// without one.
struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};
template <typename Value>
using TextMap = std::unordered_map<std::string, Value, TextHash, std::equal_to<>>;

// The whole edge graph of the project, read in one scan. Files and targets are numbered as they
// are first met, so each text is copied once however many edges carry it.
class ProjectEdges {
 public:
  ProjectEdges(const std::string& project, db::Connection& db) {
    auto stmt = db.prepare(kSelectProjectEdges);
    stmt.bindText(1, project);
    std::optional<std::uint32_t> file;
    while (stmt.step()) {
      auto targetText = stmt.columnText(0);
      auto fileText = stmt.columnText(1);
      if (!targetText || !fileText) continue;
      // A file's edges are mostly stored together, so the last file is the likeliest.
      if (!file || *files_[*file] != *fileText) file = fileNumber(*fileText, stmt.columnText(2));
      const std::uint32_t target = targetNumber(*targetText);
      filesByTarget_[target].push_back(*file);
      targetsOfFile_[*file].push_back(target);
    }
    if (targets_.empty()) return;
    Ids targets;
    targets.reserve(targets_.size());
    for (const auto* target : targets_) targets.push_back(*target);
    auto declarations = db.prepare(kSelectDeclarationsOfNames);
    declarations.bindText(1, jsonArray(targets));
    while (declarations.step()) {
      auto fileText = declarations.columnText(0);
      auto nameText = declarations.columnText(1);
      if (!fileText || !nameText) continue;
      auto target = targetIndex_.find(*nameText);
      if (target == targetIndex_.end()) continue;
      auto declared = declaredTargets_.find(*fileText);
      if (declared == declaredTargets_.end()) {
        declared = declaredTargets_.try_emplace(std::string(*fileText)).first;
      }
      declared->second.push_back(target->second);
    }
    for (auto& [name, numbers] : declaredTargets_) {
      std::sort(numbers.begin(), numbers.end());
      numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    }
  }

  // Files with an edge to a name that a frontier file declares or to a frontier file itself,
  // other than the frontier files; in the order first found.
  Ids dependentsOf(const Ids& frontier) const {
    Ids found;
    std::unordered_set<std::string_view> excluded(frontier.begin(), frontier.end());
    std::unordered_set<std::uint32_t> seen;
    auto take = [&](std::uint32_t target) {
      for (auto index : filesByTarget_[target]) {
        if (seen.insert(index).second && !excluded.contains(*files_[index])) {
          found.push_back(*files_[index]);
        }
      }
    };
    std::unordered_set<std::uint32_t> names;
    for (const auto& id : frontier) {
      if (auto declared = declaredTargets_.find(id); declared != declaredTargets_.end()) {
        names.insert(declared->second.begin(), declared->second.end());
      }
    }
    for (auto name : names) take(name);
    for (const auto& id : frontier) {
      if (auto it = targetIndex_.find("file:" + id); it != targetIndex_.end()) take(it->second);
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
    const auto& own = declared->second;
    std::int64_t count = 0;
    for (auto name : own) count += static_cast<std::int64_t>(filesByTarget_[name].size());
    if (auto it = fileIndex_.find(file); it != fileIndex_.end()) {
      for (auto target : targetsOfFile_[it->second]) {
        if (std::binary_search(own.begin(), own.end(), target)) --count;
      }
    }
    return count;
  }

 private:
  std::uint32_t fileNumber(std::string_view id, std::optional<std::string_view> path) {
    if (auto it = fileIndex_.find(id); it != fileIndex_.end()) return it->second;
    const auto number = static_cast<std::uint32_t>(files_.size());
    files_.push_back(&fileIndex_.try_emplace(std::string(id), number).first->first);
    paths_.push_back(path ? std::optional<std::string>(*path) : std::nullopt);
    targetsOfFile_.emplace_back();
    return number;
  }

  std::uint32_t targetNumber(std::string_view target) {
    if (auto it = targetIndex_.find(target); it != targetIndex_.end()) return it->second;
    const auto number = static_cast<std::uint32_t>(targets_.size());
    targets_.push_back(&targetIndex_.try_emplace(std::string(target), number).first->first);
    filesByTarget_.emplace_back();
    return number;
  }

  // Numbered files and targets point at their maps' keys, which stay in place.
  TextMap<std::uint32_t> fileIndex_;
  std::vector<const std::string*> files_;
  std::vector<std::optional<std::string>> paths_;
  std::vector<std::vector<std::uint32_t>> targetsOfFile_;  // one entry per edge
  TextMap<std::uint32_t> targetIndex_;
  std::vector<const std::string*> targets_;
  std::vector<std::vector<std::uint32_t>> filesByTarget_;  // one entry per edge
  // File id to the numbers of the edge targets it declares, sorted, without repeats.
  TextMap<std::vector<std::uint32_t>> declaredTargets_;
};

// The part of the project's edge graph that one analysis reaches, read on demand in batches:
// the names a file declares and the edges that point at a target, each read at most once. A
// change near the leaves reads a few rows instead of every edge of the project. Reaching
// files by index costs several times what a scan costs per row, so once the analysis reaches a
// large share of the project's files it reads the whole graph in one scan instead; both give
// the same answers.
class EdgeGraph {
 public:
  // Prepares its statements at once, so that tables it cannot read fail the analysis whether or
  // not any file resolves.
  // A whole graph kept from an earlier analysis answers from the start.
  EdgeGraph(const std::string& project, db::Connection& db,
            std::shared_ptr<const ProjectEdges> kept = nullptr)
      : project_(project),
        db_(db),
        selectNames_(db.prepare(kSelectTargetNamesOfFiles)),
        selectEdgesTo_(db.prepare(kSelectEdgesToTargets)),
        selectTargetsOf_(db.prepare(kSelectTargetsOfFiles)),
        whole_(std::move(kept)) {}

  // The whole graph, when the analysis read it (or started from it).
  const std::shared_ptr<const ProjectEdges>& whole() const { return whole_; }

  // Files with an edge to a name that a frontier file declares or to a frontier file itself,
  // other than the frontier files; in the order first found.
  Ids dependentsOf(const Ids& frontier) {
    if (!whole_ && frontier.size() * kWalkedShareOfFrontier >= projectFileCount()) {
      whole_ = std::make_shared<const ProjectEdges>(project_, db_);
    }
    if (whole_) return whole_->dependentsOf(frontier);
    readNames(frontier);
    Ids targets;
    std::unordered_set<std::string_view> queued;
    for (const auto& id : frontier) {
      for (const auto& name : names_.at(id)) {
        if (queued.insert(name).second) targets.push_back(name);
      }
    }
    for (const auto& id : frontier) {
      std::string reference = "file:" + id;
      if (!queued.contains(reference)) targets.push_back(std::move(reference));
    }
    readEdgesTo(targets);

    Ids found;
    std::unordered_set<std::string_view> excluded(frontier.begin(), frontier.end());
    std::unordered_set<std::uint32_t> seen;
    for (const auto& target : targets) {
      for (auto index : edgesTo_.at(target)) {
        if (seen.insert(index).second && !excluded.contains(files_[index])) {
          found.push_back(files_[index]);
        }
      }
    }
    return found;
  }

  // The relative paths of files that have edges, in the order of `ids`; a file without edges
  // or with a path that is not text adds nothing.
  std::vector<std::string> pathsOf(const Ids& ids) const {
    if (whole_) return whole_->pathsOf(ids);
    std::vector<std::string> paths;
    for (const auto& id : ids) {
      if (auto it = fileIndex_.find(id); it != fileIndex_.end() && paths_[it->second]) {
        paths.push_back(*paths_[it->second]);
      }
    }
    return paths;
  }

  // For each file, the edges of the project's other files that point at one of its names, each
  // edge once; in the order of `files`.
  std::vector<std::int64_t> inboundEdges(const Ids& files) {
    if (!whole_) {
      std::size_t unread = 0;
      for (const auto& file : files) unread += names_.contains(file) ? 0 : 1;
      if (unread * kWalkedShareOfDependents >= projectFileCount()) {
        whole_ = std::make_shared<const ProjectEdges>(project_, db_);
      }
    }
    if (whole_) {
      std::vector<std::int64_t> counts;
      counts.reserve(files.size());
      for (const auto& file : files) counts.push_back(whole_->inboundEdges(file));
      return counts;
    }
    readNames(files);
    Ids targets;
    for (const auto& file : files) {
      for (const auto& name : names_.at(file)) targets.push_back(name);
    }
    readEdgesTo(targets);

    std::vector<std::int64_t> counts;
    counts.reserve(files.size());
    // A file's own edges to its names only lower its count, so only files that could reach a
    // warning are read for them.
    Ids candidates;
    for (const auto& file : files) {
      std::int64_t count = 0;
      for (const auto& name : names_.at(file)) {
        count += static_cast<std::int64_t>(edgesTo_.at(name).size());
      }
      counts.push_back(count);
      if (count >= kHighImpactInboundEdges) candidates.push_back(file);
    }
    auto own = ownEdgesToOwnNames(candidates);
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (auto it = own.find(files[i]); it != own.end()) counts[i] -= it->second;
    }
    return counts;
  }

 private:
  std::uint32_t fileIndex(const std::string& id, const db::Value& path) {
    auto [slot, added] = fileIndex_.try_emplace(id, static_cast<std::uint32_t>(files_.size()));
    if (added) {
      files_.push_back(id);
      auto text = db::textOf(path);
      paths_.push_back(text ? std::optional<std::string>(*text) : std::nullopt);
    }
    return slot->second;
  }

  // Fills names_ for the files not read yet: their declared names without repeats.
  void readNames(const Ids& files) {
    Ids missing;
    for (const auto& id : files) {
      if (names_.try_emplace(id).second) missing.push_back(id);
    }
    if (missing.empty()) return;
    auto& stmt = selectNames_;
    stmt.reset();
    stmt.bindText(1, jsonArray(missing));
    while (stmt.step()) {
      auto fileValue = stmt.column(0);
      auto nameValue = stmt.column(1);
      auto file = db::textOf(fileValue);
      auto name = db::textOf(nameValue);
      if (!file || !name) continue;
      if (auto it = names_.find(*file); it != names_.end()) it->second.push_back(*name);
    }
    for (const auto& id : missing) {
      auto& names = names_.at(id);
      std::sort(names.begin(), names.end());
      names.erase(std::unique(names.begin(), names.end()), names.end());
    }
  }

  // Fills edgesTo_ for the targets not read yet: the project files of their edges, one entry
  // per edge.
  void readEdgesTo(const Ids& targets) {
    Ids missing;
    for (const auto& target : targets) {
      if (edgesTo_.try_emplace(target).second) missing.push_back(target);
    }
    if (missing.empty()) return;
    auto& stmt = selectEdgesTo_;
    stmt.reset();
    stmt.bindText(1, jsonArray(missing)).bindText(2, project_);
    while (stmt.step()) {
      auto targetValue = stmt.column(0);
      auto fileValue = stmt.column(1);
      auto target = db::textOf(targetValue);
      auto file = db::textOf(fileValue);
      if (!target || !file) continue;
      auto it = edgesTo_.find(*target);
      if (it != edgesTo_.end()) it->second.push_back(fileIndex(*file, stmt.column(2)));
    }
  }

  // For each file, its edges that point at one of its own names.
  std::unordered_map<std::string, std::int64_t> ownEdgesToOwnNames(const Ids& files) {
    std::unordered_map<std::string, std::int64_t> own;
    if (files.empty()) return own;
    auto& stmt = selectTargetsOf_;
    stmt.reset();
    stmt.bindText(1, jsonArray(files));
    while (stmt.step()) {
      auto fileValue = stmt.column(0);
      auto targetValue = stmt.column(1);
      auto file = db::textOf(fileValue);
      auto target = db::textOf(targetValue);
      if (!file || !target) continue;
      const auto& names = names_.at(*file);
      if (std::binary_search(names.begin(), names.end(), *target)) ++own[*file];
    }
    return own;
  }

  std::size_t projectFileCount() {
    if (!projectFiles_) {
      auto stmt = db_.prepare(kCountProjectFiles);
      stmt.bindText(1, project_);
      const std::int64_t count = stmt.step() ? db::integerOf(stmt.column(0)).value_or(0) : 0;
      projectFiles_ = static_cast<std::size_t>(std::max<std::int64_t>(count, 0));
    }
    return *projectFiles_;
  }

  const std::string& project_;
  db::Connection& db_;
  db::Statement selectNames_;
  db::Statement selectEdgesTo_;
  db::Statement selectTargetsOf_;
  std::optional<std::size_t> projectFiles_;
  // Set once the analysis reaches enough of the project to read all of it; answers from then on.
  std::shared_ptr<const ProjectEdges> whole_;
  std::vector<std::string> files_;
  std::vector<std::optional<std::string>> paths_;
  std::unordered_map<std::string, std::uint32_t> fileIndex_;
  // File id to the names it declares, sorted, without repeats; present once read.
  std::unordered_map<std::string, std::vector<std::string>> names_;
  // Target to the project files of the edges that point at it; present once read.
  std::unordered_map<std::string, std::vector<std::uint32_t>> edgesTo_;
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

std::vector<std::string> collectHighImpactWarnings(const Ids& ids, EdgeGraph& edges) {
  std::vector<std::string> warnings;
  const auto counts = edges.inboundEdges(ids);
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (counts[i] < kHighImpactInboundEdges) continue;
    // Every dependent has edges, so its path is known from reading them.
    for (const auto& path : edges.pathsOf({ids[i]})) {
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

struct ImpactGraphCache::Graph {
  std::string project;
  std::int64_t generation = 0;
  std::shared_ptr<const ProjectEdges> edges;
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
  std::shared_ptr<const ProjectEdges> kept;
  if (cache) {
    auto& graphs = cache->graphs_;
    auto it = std::find_if(graphs.begin(), graphs.end(),
                           [&](const auto& graph) { return graph->project == project; });
    if (it != graphs.end()) {
      if (generation && (*it)->generation == *generation) {
        kept = (*it)->edges;
      } else {
        graphs.erase(it);
      }
    }
    // A caller that keeps graphs reads the whole one at once: reading by index is cheaper only
    // for one analysis, and the next ones answer from memory.
    if (!kept && generation) {
      kept = std::make_shared<const ProjectEdges>(project, db);
      graphs.insert(graphs.begin(), std::make_unique<ImpactGraphCache::Graph>(
                                        ImpactGraphCache::Graph{project, *generation, kept}));
      if (graphs.size() > ImpactGraphCache::kKeptProjects) graphs.pop_back();
    }
  }

  const Ids ids = resolveChangedFileIDs(project, changedPaths, db);
  report.changedFiles = relativePathForFileID(ids, db);

  EdgeGraph edges(project, db, kept);
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
