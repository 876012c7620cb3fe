#include "codeintel/impact_edges.h"

#include <algorithm>

#include "codeintel/fragility.h"

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

std::string jsonArray(const Ids& values) { return sqlJsonArray(values); }

}  // namespace

ProjectEdges::ProjectEdges(const std::string& project, db::Connection& db) {
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

EdgeGraph::EdgeGraph(const std::string& project, db::Connection& db,
                     std::shared_ptr<const ProjectEdges> kept)
    : project_(project),
    db_(db),
    selectNames_(db.prepare(kSelectTargetNamesOfFiles)),
    selectEdgesTo_(db.prepare(kSelectEdgesToTargets)),
    selectTargetsOf_(db.prepare(kSelectTargetsOfFiles)),
      whole_(std::move(kept)) {}

void EdgeGraph::readNames(const Ids& files) {
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

void EdgeGraph::readEdgesTo(const Ids& targets) {
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

std::unordered_map<std::string, std::int64_t> EdgeGraph::ownEdgesToOwnNames(const Ids& files) {
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

std::size_t EdgeGraph::projectFileCount() {
  if (!projectFiles_) {
    auto stmt = db_.prepare(kCountProjectFiles);
    stmt.bindText(1, project_);
    const std::int64_t count = stmt.step() ? db::integerOf(stmt.column(0)).value_or(0) : 0;
    projectFiles_ = static_cast<std::size_t>(std::max<std::int64_t>(count, 0));
  }
  return *projectFiles_;
}

}  // namespace nodrel::codeintel
