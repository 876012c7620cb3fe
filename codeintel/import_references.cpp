// codeintel/import_references.cpp: the project's "references" edges, derived from its
// "imports" edges after every run.
#include "codeintel/code_ingestion_service.h"

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/import_resolution.h"
#include "db/error.h"
#include "db/savepoint.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kInsertEdgeOrIgnore =
    R"sql(INSERT OR IGNORE INTO code_edges (from_symbol, to_symbol, edge_type, file_id)
VALUES (?, ?, ?, ?))sql";

constexpr std::string_view kSelectImportEdges =
    R"sql(SELECT ce.from_symbol, ce.to_symbol, ce.file_id
FROM code_edges ce
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ? AND ce.edge_type = ?)sql";

constexpr std::string_view kSelectFileKeys =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

// References are derived from imports on every run. The project's stored references are
// compared with the derived ones: those no import resolves to any more are deleted, missing
// ones inserted, so an unchanged tree writes nothing and a stale reference never outlives its
// import, whatever keys the table has.
constexpr std::string_view kSelectReferenceEdges =
    R"sql(SELECT ce.id, ce.from_symbol, ce.to_symbol, ce.file_id
FROM code_edges ce
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ? AND ce.edge_type = 'references')sql";

constexpr std::string_view kDeleteEdge = "DELETE FROM code_edges WHERE id = ?";

// What each Kotlin file declares: an import names a class or function of a package.
constexpr std::string_view kSelectKotlinDeclarations = R"sql(SELECT cf.relative_path, cs.name
FROM code_files cf
JOIN code_symbols cs ON cs.file_id = cf.id
WHERE cf.project = ? AND cf.language = 'kotlin')sql";

db::Statement& fresh(db::Statement& stmt) {
  stmt.reset();
  return stmt;
}

}  // namespace

std::int64_t CodeIngestionService::linkImportReferences(const std::string& project) {
  auto importsStmt = db_.prepare(kSelectImportEdges);
  auto filesStmt = db_.prepare(kSelectFileKeys);

  struct ImportEdge {
    std::string from, to, fileID;
  };
  std::vector<ImportEdge> imports;
  importsStmt.bindText(1, project).bindText(2, "imports");
  while (importsStmt.step()) {
    auto from = importsStmt.column(0);
    auto to = importsStmt.column(1);
    auto fileID = importsStmt.column(2);
    auto f = db::textOf(from);
    auto t = db::textOf(to);
    auto id = db::textOf(fileID);
    if (f && t && id) imports.push_back({*f, *t, *id});
  }

  std::unordered_map<std::string, std::string> fileByPath;
  std::vector<std::string> paths;
  filesStmt.bindText(1, project);
  while (filesStmt.step()) {
    auto idValue = filesStmt.column(0);
    auto pathValue = filesStmt.column(1);
    auto id = db::textOf(idValue);
    auto path = db::textOf(pathValue);
    if (!id || !path) continue;
    fileByPath[*path] = *id;
    paths.push_back(*path);
  }
  std::unordered_map<std::string, std::unordered_set<std::string>> kotlinNames;
  auto kotlin = db_.prepare(kSelectKotlinDeclarations);
  kotlin.bindText(1, project);
  while (kotlin.step()) {
    auto pathValue = kotlin.column(0);
    auto nameValue = kotlin.column(1);
    auto path = db::textOf(pathValue);
    auto name = db::textOf(nameValue);
    if (path && name) kotlinNames[*path].insert(*name);
  }
  ImportResolver resolver(project, paths, std::move(kotlinNames));

  // Each attempted insertion counts, whether it adds a row or finds it already there.
  std::int64_t count = 0;
  std::unordered_set<std::string> wanted;
  std::vector<ImportEdge> references;
  auto keyOf = [](const std::string& from, const std::string& to, const std::string& fileID) {
    std::string key = from;
    key.push_back('\0');
    key += to;
    key.push_back('\0');
    key += fileID;
    return key;
  };
  for (const auto& edge : imports) {
    for (const auto& path : resolver.resolve(edge.from, edge.to)) {
      auto target = fileByPath.find(path);
      if (target == fileByPath.end() || target->second == edge.fileID) continue;
      ++count;
      ImportEdge reference{edge.from, "file:" + target->second, edge.fileID};
      if (wanted.insert(keyOf(reference.from, reference.to, reference.fileID)).second) {
        references.push_back(std::move(reference));
      }
    }
  }

  std::vector<std::int64_t> stale;
  std::unordered_set<std::string> stored;
  auto existing = db_.prepare(kSelectReferenceEdges);
  existing.bindText(1, project);
  while (existing.step()) {
    auto id = db::integerOf(existing.column(0));
    auto from = existing.column(1);
    auto to = existing.column(2);
    auto fileID = existing.column(3);
    auto f = db::textOf(from);
    auto t = db::textOf(to);
    auto i = db::textOf(fileID);
    if (!id) continue;
    std::string key = f && t && i ? keyOf(*f, *t, *i) : std::string();
    if (!wanted.contains(key) || !stored.insert(key).second) stale.push_back(*id);
  }
  if (stale.empty() && stored.size() == wanted.size()) return count;

  db::Savepoint savepoint(db_, "link_imports");
  auto remove = db_.prepare(kDeleteEdge);
  for (auto id : stale) fresh(remove).bindInt(1, id).run();
  auto insert = db_.prepare(kInsertEdgeOrIgnore);
  for (const auto& reference : references) {
    if (stored.contains(keyOf(reference.from, reference.to, reference.fileID))) continue;
    try {
      fresh(insert)
          .bindText(1, reference.from)
          .bindText(2, reference.to)
          .bindText(3, "references")
          .bindText(4, reference.fileID)
          .run();
    } catch (const db::Error&) {
      // A refused reference loses only that reference.
    }
  }
  raiseGeneration(project);
  savepoint.commit();
  return count;
}

}  // namespace nodrel::codeintel
