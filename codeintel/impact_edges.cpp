#include "codeintel/impact_edges.h"

#include <algorithm>
#include <limits>
#include <map>

#include "db/json_array.h"

namespace nodrel::codeintel {
namespace {

// The names that some files declare and some edge points at, read for the files that one
// analysis reaches; a name that no edge points at makes no dependent and counts no edge, and
// most names are such names.
constexpr std::string_view kSelectTargetNamesOfFiles = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) f
CROSS JOIN code_symbols cs ON cs.file_id = f.value
WHERE EXISTS (SELECT 1 FROM code_edges ce WHERE ce.to_symbol = cs.name))sql";

// The project's edges that point at some targets, one row per edge, with the path of the file
// each belongs to, since every dependent is such a file.
constexpr std::string_view kSelectEdgesToTargets =
    R"sql(SELECT t.value, ce.file_id, cf.relative_path
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

// Every edge, by target, for an analysis that reaches much of the project: scanning the edges
// in table order is then cheaper than reaching them by index, and keeping those of the
// project's files (read first, with the paths every dependent needs) is cheaper than joining
// each edge to its file, which took half the time of the scan on Go's standard library.
constexpr std::string_view kSelectEveryEdge = R"sql(SELECT to_symbol, file_id
FROM code_edges NOT INDEXED)sql";

constexpr std::string_view kSelectProjectFiles = R"sql(SELECT id, relative_path FROM code_files
WHERE project = ?)sql";

constexpr std::string_view kCountProjectFiles = R"sql(SELECT COUNT(*) FROM code_files
WHERE project = ?)sql";

// The Go files of one folder, or of the project's root, in path order: the first package file
// among them stands for the folder's package in stored references. Files of the folders below
// are left out by the pattern, so a folder with a large tree beneath reads only its own files.
constexpr std::string_view kSelectGoFilesOfFolder = R"sql(SELECT id, relative_path
FROM code_files
WHERE project = ? AND relative_path > ? AND relative_path < ?
  AND relative_path GLOB '*.go' AND relative_path NOT GLOB ?
ORDER BY relative_path)sql";

constexpr std::string_view kSelectGoFilesOfRoot = R"sql(SELECT id, relative_path
FROM code_files
WHERE project = ? AND relative_path GLOB '*.go' AND relative_path NOT GLOB '*/*'
ORDER BY relative_path)sql";

std::string jsonArray(const Ids& values) { return db::sqlJsonArray(values); }

// `text` matched literally by GLOB: each of its wildcard characters as a set of one.
std::string globLiteral(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '*' || c == '?' || c == '[') {
      out += '[';
      out += c;
      out += ']';
    } else {
      out += c;
    }
  }
  return out;
}

// The files of `edges` (one per edge to a Go package's representative) whose edge stands for
// the whole package, appended to `files`.
void addPackageImporters(std::vector<std::uint32_t>& files, const std::vector<std::uint32_t>& edges,
                         const std::vector<std::optional<std::string>>& paths,
                         const PackageRepresentative& representative) {
  for (auto file : edges) {
    if (paths[file] && storesGoPackageReference(*paths[file], representative.path)) {
      files.push_back(file);
    }
  }
}

// The dependents of a frontier. `referencing(f)`: the files (by number, one per edge) that
// reference frontier file f; `declared(f)`: the names f declares, each once; `usingName(n)`:
// the files of the edges to name n, one per edge; `idOf` and `scopeOf` by file number.
template <class Name, class Referencing, class Declared, class UsingName, class IdOf, class ScopeOf>
std::vector<Dependent> collectDependents(const Ids& frontier,
                                         const std::vector<std::optional<std::string>>& scopes,
                                         Referencing referencing, Declared declared,
                                         UsingName usingName, IdOf idOf, ScopeOf scopeOf) {
  constexpr std::size_t kFrontierFile = std::numeric_limits<std::size_t>::max();
  const std::unordered_set<std::string_view> excluded(frontier.begin(), frontier.end());
  std::vector<Dependent> found;
  std::unordered_map<std::uint32_t, std::size_t> slots;  // file number to its place in `found`
  auto entry = [&](std::uint32_t file) -> Dependent* {
    auto [slot, added] = slots.try_emplace(file, found.size());
    if (added) {
      const std::string& id = idOf(file);
      if (excluded.contains(id)) {
        slot->second = kFrontierFile;
      } else {
        found.push_back(Dependent{id});
      }
    }
    return slot->second == kFrontierFile ? nullptr : &found[slot->second];
  };
  // Frontier positions each file references, ascending.
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> references;
  for (std::uint32_t f = 0; f < frontier.size(); ++f) {
    for (auto file : referencing(f)) {
      if (auto* dependent = entry(file)) {
        dependent->imports = true;
        auto& referenced = references[file];
        if (referenced.empty() || referenced.back() != f) referenced.push_back(f);
      }
    }
  }
  // Each name's edges are walked once, however many frontier files declare it.
  std::map<Name, std::vector<std::uint32_t>> declarers;
  for (std::uint32_t f = 0; f < frontier.size(); ++f) {
    for (const auto& name : declared(f)) declarers[name].push_back(f);
  }
  for (const auto& [name, files] : declarers) {
    std::unordered_set<std::string_view> visibleScopes;
    for (auto f : files) {
      if (scopes[f]) visibleScopes.insert(*scopes[f]);
    }
    for (auto file : usingName(name)) {
      bool visible = false;
      if (auto it = references.find(file); it != references.end()) {
        for (auto f : it->second) {
          if (std::binary_search(files.begin(), files.end(), f)) {
            visible = true;
            break;
          }
        }
      }
      if (!visible && !visibleScopes.empty()) {
        const auto& scope = scopeOf(file);
        visible = scope && visibleScopes.contains(*scope);
      }
      if (!visible) continue;
      if (auto* dependent = entry(file)) ++dependent->names;
    }
  }
  return found;
}

}  // namespace

ProjectEdges::ProjectEdges(const std::string& project, db::Connection& db) {
  TextViewMap<std::optional<std::string>> projectFiles;
  {
    auto files = db.prepare(kSelectProjectFiles);
    files.bindText(1, project);
    while (files.step()) {
      auto id = files.columnText(0);
      auto path = files.columnText(1);
      if (id)
        projectFiles.try_emplace(std::string(*id),
                                 path ? std::optional<std::string>(*path) : std::nullopt);
    }
  }
  {
    // The first package file of each folder, by path.
    std::unordered_map<std::string, PackageRepresentative> firstOfFolder;
    for (const auto& [id, path] : projectFiles) {
      if (!path || !isGoPackageFile(*path)) continue;
      auto [first, added] =
          firstOfFolder.try_emplace(directoryOf(*path), PackageRepresentative{id, *path});
      if (!added && *path < first->second.path) first->second = PackageRepresentative{id, *path};
    }
    for (const auto& [id, path] : projectFiles) {
      if (!path || !isGoPackageFile(*path)) continue;
      const auto& first = firstOfFolder.at(directoryOf(*path));
      if (first.id != id) representatives_.try_emplace(id, first);
    }
  }
  auto stmt = db.prepare(kSelectEveryEdge);
  constexpr auto kNoFile = std::numeric_limits<std::uint32_t>::max();
  std::uint32_t file = kNoFile;
  while (stmt.step()) {
    auto targetText = stmt.columnText(0);
    auto fileText = stmt.columnText(1);
    if (!targetText || !fileText) continue;
    // A file's edges are mostly stored together, so the last file is the likeliest.
    if (file == kNoFile || *files_[file] != *fileText) {
      auto projectFile = projectFiles.find(*fileText);
      if (projectFile == projectFiles.end()) {
        file = kNoFile;
        continue;
      }
      const auto& path = projectFile->second;
      file = fileNumber(*fileText, path ? std::optional<std::string_view>(*path) : std::nullopt);
    }
    const std::uint32_t target = targetNumber(*targetText);
    filesByTarget_[target].push_back(file);
    targetsOfFile_[file].push_back(target);
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
  // Sorted out once per package rather than for each of its files an analysis reaches.
  for (const auto& [file, representative] : representatives_) {
    auto [importers, added] = packageImporters_.try_emplace(representative.id);
    if (!added) continue;
    if (auto it = targetIndex_.find("file:" + representative.id); it != targetIndex_.end()) {
      addPackageImporters(importers->second, filesByTarget_[it->second], paths_, representative);
    }
  }
}

EdgeGraph::EdgeGraph(const std::string& project, db::Connection& db,
                     std::shared_ptr<EdgeReads> kept)
    : project_(project),
      db_(db),
      selectNames_(db.prepare(kSelectTargetNamesOfFiles)),
      selectEdgesTo_(db.prepare(kSelectEdgesToTargets)),
      selectTargetsOf_(db.prepare(kSelectTargetsOfFiles)),
      selectGoFilesOfFolder_(db.prepare(kSelectGoFilesOfFolder)),
      selectGoFilesOfRoot_(db.prepare(kSelectGoFilesOfRoot)),
      reads_(kept ? std::move(kept) : std::make_shared<EdgeReads>()) {}

void EdgeGraph::readWhole() {
  auto whole = std::make_shared<const ProjectEdges>(project_, db_);
  const auto projectFiles = reads_->projectFiles;
  *reads_ = EdgeReads{};
  reads_->projectFiles = projectFiles;
  reads_->whole = std::move(whole);
}

std::uint32_t EdgeGraph::fileIndex(const std::string& id, const db::Value& path) {
  auto& reads = *reads_;
  auto [slot, added] =
      reads.fileIndex.try_emplace(id, static_cast<std::uint32_t>(reads.files.size()));
  if (added) {
    reads.files.push_back(id);
    auto text = db::textOf(path);
    reads.paths.push_back(text ? std::optional<std::string>(*text) : std::nullopt);
    reads.scopes.push_back(text ? implicitScopeOf(*text) : std::nullopt);
  }
  return slot->second;
}

void EdgeGraph::readNames(const Ids& files) {
  auto& names = reads_->names;
  Ids missing;
  for (const auto& id : files) {
    if (names.try_emplace(id).second) missing.push_back(id);
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
    if (auto it = names.find(*file); it != names.end()) it->second.push_back(*name);
  }
  for (const auto& id : missing) {
    auto& declared = names.at(id);
    std::sort(declared.begin(), declared.end());
    declared.erase(std::unique(declared.begin(), declared.end()), declared.end());
  }
}

void EdgeGraph::readEdgesTo(const Ids& targets) {
  auto& edgesTo = reads_->edgesTo;
  Ids missing;
  for (const auto& target : targets) {
    if (edgesTo.try_emplace(target).second) missing.push_back(target);
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
    auto it = edgesTo.find(*target);
    if (it != edgesTo.end()) it->second.push_back(fileIndex(*file, stmt.column(2)));
  }
}

void EdgeGraph::readOwnEdges(const Ids& files) {
  auto& own = reads_->ownEdges;
  Ids missing;
  for (const auto& id : files) {
    if (own.try_emplace(id, 0).second) missing.push_back(id);
  }
  if (missing.empty()) return;
  auto& stmt = selectTargetsOf_;
  stmt.reset();
  stmt.bindText(1, jsonArray(missing));
  while (stmt.step()) {
    auto fileValue = stmt.column(0);
    auto targetValue = stmt.column(1);
    auto file = db::textOf(fileValue);
    auto target = db::textOf(targetValue);
    if (!file || !target) continue;
    const auto& names = reads_->names.at(*file);
    if (std::binary_search(names.begin(), names.end(), *target)) ++own[*file];
  }
}

std::size_t EdgeGraph::projectFileCount() {
  auto& projectFiles = reads_->projectFiles;
  if (!projectFiles) {
    auto stmt = db_.prepare(kCountProjectFiles);
    stmt.bindText(1, project_);
    const std::int64_t count = stmt.step() ? db::integerOf(stmt.column(0)).value_or(0) : 0;
    projectFiles = static_cast<std::size_t>(std::max<std::int64_t>(count, 0));
  }
  return *projectFiles;
}

const PackageRepresentative* EdgeGraph::representativeOf(const std::string& id,
                                                         const std::optional<std::string>& path) {
  if (!path || !isGoPackageFile(*path)) return nullptr;
  const std::string folder = directoryOf(*path);
  auto [slot, added] = reads_->representatives.try_emplace(folder);
  if (added) {
    auto& stmt = folder.empty() ? selectGoFilesOfRoot_ : selectGoFilesOfFolder_;
    stmt.reset();
    stmt.bindText(1, project_);
    if (!folder.empty()) {
      // '0' follows '/': the range holds exactly the paths below the folder.
      stmt.bindText(2, folder + "/").bindText(3, folder + "0");
      stmt.bindText(4, globLiteral(folder) + "/*/*");
    }
    while (stmt.step()) {
      auto fileText = stmt.columnText(0);
      auto pathText = stmt.columnText(1);
      if (!fileText || !pathText || !isGoPackageFile(*pathText)) continue;
      if (directoryOf(*pathText) != folder) continue;
      slot->second = PackageRepresentative{std::string(*fileText), std::string(*pathText)};
      break;
    }
    stmt.reset();
  }
  const auto& representative = slot->second;
  return representative && representative->id != id ? &*representative : nullptr;
}

std::vector<std::int64_t> EdgeGraph::inboundEdges(const Ids& files) {
  if (!reads_->whole) {
    std::size_t unread = 0;
    for (const auto& file : files) unread += reads_->names.contains(file) ? 0 : 1;
    if (unread * kWalkedShareOfDependents >= projectFileCount()) readWhole();
  }
  std::vector<std::int64_t> counts;
  counts.reserve(files.size());
  if (reads_->whole) {
    for (const auto& file : files) counts.push_back(reads_->whole->inboundEdges(file));
    return counts;
  }
  readNames(files);
  const auto& names = reads_->names;
  Ids targets;
  for (const auto& file : files) {
    for (const auto& name : names.at(file)) targets.push_back(name);
  }
  readEdgesTo(targets);

  // A file's own edges to its names only lower its count, so only files that could reach a
  // warning are read for them.
  Ids candidates;
  for (const auto& file : files) {
    std::int64_t count = 0;
    for (const auto& name : names.at(file)) {
      count += static_cast<std::int64_t>(reads_->edgesTo.at(name).size());
    }
    counts.push_back(count);
    if (count >= kHighImpactInboundEdges) candidates.push_back(file);
  }
  readOwnEdges(candidates);
  const auto& own = reads_->ownEdges;
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (counts[i] < kHighImpactInboundEdges) continue;
    if (auto it = own.find(files[i]); it != own.end()) counts[i] -= it->second;
  }
  return counts;
}

}  // namespace nodrel::codeintel

namespace nodrel::codeintel {

std::vector<Dependent> ProjectEdges::dependentsOf(const Ids& frontier,
                                                  const PathsByID& paths) const {
  std::vector<std::optional<std::string>> scopes;
  for (const auto& id : frontier) {
    if (auto it = fileIndex_.find(id); it != fileIndex_.end()) {
      scopes.push_back(scopes_[it->second]);
    } else if (auto path = paths.find(id); path != paths.end()) {
      scopes.push_back(implicitScopeOf(path->second));
    } else {
      scopes.push_back(std::nullopt);
    }
  }
  static const std::vector<std::uint32_t> kNoTargets;
  return collectDependents<std::uint32_t>(
      frontier, scopes,
      [&](std::uint32_t f) {
        auto representative = representatives_.find(frontier[f]);
        return referencing(frontier[f], representative == representatives_.end()
                                            ? nullptr
                                            : &representative->second);
      },
      [&](std::uint32_t f) -> const std::vector<std::uint32_t>& {
        auto it = declaredTargets_.find(frontier[f]);
        return it == declaredTargets_.end() ? kNoTargets : it->second;
      },
      [&](std::uint32_t name) -> const std::vector<std::uint32_t>& { return filesByTarget_[name]; },
      [&](std::uint32_t file) -> const std::string& { return *files_[file]; },
      [&](std::uint32_t file) -> const std::optional<std::string>& { return scopes_[file]; });
}

std::vector<std::uint32_t> ProjectEdges::referencing(
    const std::string& id, const PackageRepresentative* representative) const {
  std::vector<std::uint32_t> files;
  if (auto it = targetIndex_.find("file:" + id); it != targetIndex_.end()) {
    files = filesByTarget_[it->second];
  }
  if (representative) {
    if (auto it = packageImporters_.find(representative->id); it != packageImporters_.end()) {
      files.insert(files.end(), it->second.begin(), it->second.end());
    }
  }
  return files;
}

std::vector<Dependent> EdgeGraph::dependentsOf(const Ids& frontier, const PathsByID& paths) {
  if (!reads_->whole && frontier.size() * kWalkedShareOfFrontier >= projectFileCount()) {
    readWhole();
  }
  if (reads_->whole) return reads_->whole->dependentsOf(frontier, paths);
  readNames(frontier);
  const auto& reads = *reads_;
  // A frontier file's path, from its edges or as the caller gave it.
  auto pathOf = [&](const std::string& id) -> std::optional<std::string> {
    if (auto it = reads.fileIndex.find(id); it != reads.fileIndex.end()) {
      return reads.paths[it->second];
    }
    if (auto given = paths.find(id); given != paths.end()) return given->second;
    return std::nullopt;
  };
  std::vector<const PackageRepresentative*> representatives;
  for (const auto& id : frontier) representatives.push_back(representativeOf(id, pathOf(id)));
  Ids targets;
  for (std::size_t f = 0; f < frontier.size(); ++f) {
    for (const auto& name : reads.names.at(frontier[f])) targets.push_back(name);
    targets.push_back("file:" + frontier[f]);
    if (representatives[f]) targets.push_back("file:" + representatives[f]->id);
  }
  readEdgesTo(targets);
  std::vector<std::optional<std::string>> scopes;
  for (const auto& id : frontier) {
    if (auto it = reads.fileIndex.find(id); it != reads.fileIndex.end()) {
      scopes.push_back(reads.scopes[it->second]);
    } else if (auto path = paths.find(id); path != paths.end()) {
      scopes.push_back(implicitScopeOf(path->second));
    } else {
      scopes.push_back(std::nullopt);
    }
  }
  return collectDependents<std::string>(
      frontier, scopes,
      [&](std::uint32_t f) {
        std::vector<std::uint32_t> files = reads.edgesTo.at("file:" + frontier[f]);
        if (const auto* representative = representatives[f]) {
          addPackageImporters(files, reads.edgesTo.at("file:" + representative->id), reads.paths,
                              *representative);
        }
        return files;
      },
      [&](std::uint32_t f) -> const std::vector<std::string>& {
        return reads.names.at(frontier[f]);
      },
      [&](const std::string& name) -> const std::vector<std::uint32_t>& {
        return reads.edgesTo.at(name);
      },
      [&](std::uint32_t file) -> const std::string& { return reads.files[file]; },
      [&](std::uint32_t file) -> const std::optional<std::string>& { return reads.scopes[file]; });
}

}  // namespace nodrel::codeintel
