// codeintel/import_references.cpp: the project's "references" edges, derived from its
// "imports" edges after every run.
#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/code_generation.h"
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

constexpr std::string_view kSelectLastEdgeID = "SELECT max(id) FROM code_edges";

// The non-unique indexes of the edges table, with the statements that made them.
constexpr std::string_view kSelectPlainEdgeIndexes =
    R"sql(SELECT name, sql FROM sqlite_master
WHERE type = 'index' AND tbl_name = 'code_edges' AND sql IS NOT NULL
  AND name NOT IN (SELECT name FROM pragma_index_list('code_edges') WHERE "unique" = 1))sql";

constexpr std::string_view kDropIndex = "DROP INDEX ";

std::string quotedIdentifier(const std::string& name) {
  std::string quoted = "\"";
  for (char c : name) {
    quoted.push_back(c);
    if (c == '"') quoted.push_back('"');
  }
  quoted.push_back('"');
  return quoted;
}

struct ReferenceKey {
  std::uint32_t from, to, file;
  friend bool operator==(const ReferenceKey&, const ReferenceKey&) = default;
};
struct ReferenceKeyHash {
  std::size_t operator()(const ReferenceKey& key) const noexcept {
    std::uint64_t h = (static_cast<std::uint64_t>(key.from) << 32) ^ key.to;
    h = h * 0x9E3779B97F4A7C15ull ^ key.file;
    return static_cast<std::size_t>(h * 0x9E3779B97F4A7C15ull);
  }
};

db::Statement& fresh(db::Statement& stmt) {
  stmt.reset();
  return stmt;
}

}  // namespace

// A tree's first run adds tens of thousands of references at once, each landing at a random
// place of the target index, and with more index pages than the cache holds every insert
// rereads and rewrites a spilled page; a store that kept a reference for each file of every
// imported Go package deletes as many on its first run over a changed tree. Sorting the rows
// into fresh indexes is cheaper then, so the plain indexes are dropped for the changes and
// made again from their own definitions in the same transaction: readers never see the table
// without them. The unique index stays, since it is what makes an insertion of an existing link
// a no-op.
std::vector<std::string> CodeIngestionService::setAsideEdgeIndexes(std::size_t changes) {
  constexpr std::size_t kBulkChanges = 20000;
  if (changes < kBulkChanges) return {};
  auto last = db_.scalar(kSelectLastEdgeID);
  const auto rows = last ? db::integerOf(*last) : std::nullopt;
  // Rebuilding sorts every row of the table; that pays only when most of them change.
  if (rows && static_cast<std::size_t>(*rows) > 2 * changes) return {};
  std::vector<std::pair<std::string, std::string>> indexes;
  auto list = db_.prepare(kSelectPlainEdgeIndexes);
  while (list.step()) {
    auto nameValue = list.column(0);
    auto sqlValue = list.column(1);
    auto name = db::textOf(nameValue);
    auto sql = db::textOf(sqlValue);
    if (name && sql) indexes.emplace_back(*name, *sql);
  }
  std::vector<std::string> definitions;
  for (auto& [name, sql] : indexes) {
    db_.exec(std::string(kDropIndex) + quotedIdentifier(name) + ";");
    definitions.push_back(std::move(sql));
  }
  return definitions;
}

ReferenceLinks CodeIngestionService::linkImportReferences(const std::string& project) {
  // The imports are read, and the references derived from them written, under one write lock:
  // another run of the project that rewrites a file between the two takes that file's
  // references with it, and references derived before would be counted as whole.
  db::Savepoint savepoint(db_, "link_imports");
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

  // A reference is keyed by numbers for its importer, target and file: a large tree derives
  // hundreds of thousands, and keys of their text would cost more than the resolution.
  std::unordered_map<std::string, std::uint32_t> targetIndex;  // "file:<id>"
  std::vector<std::string> targets;
  targetIndex.reserve(fileByPath.size());
  targets.reserve(fileByPath.size());
  std::unordered_map<std::string, std::uint32_t> targetOfPath;
  targetOfPath.reserve(fileByPath.size());
  for (const auto& [path, id] : fileByPath) {
    auto index = static_cast<std::uint32_t>(targets.size());
    targets.push_back("file:" + id);
    targetIndex.emplace(targets.back(), index);
    targetOfPath.emplace(path, index);
  }
  std::unordered_map<std::string, std::uint32_t> textIndex;  // importers and file ids
  std::vector<const std::string*> texts;
  auto intern = [&](const std::string& text) {
    auto [it, added] = textIndex.try_emplace(text, static_cast<std::uint32_t>(texts.size()));
    if (added) texts.push_back(&it->first);
    return it->second;
  };

  // Each attempted insertion counts, whether it adds a row or finds it already there.
  std::int64_t count = 0;
  std::unordered_set<ReferenceKey, ReferenceKeyHash> wanted;
  std::vector<ReferenceKey> references;
  auto want = [&](const ReferenceKey& reference) {
    if (wanted.insert(reference).second) references.push_back(reference);
  };
  for (const auto& edge : imports) {
    // A Go import names a whole package: every importer of fmt would otherwise store a row
    // for each of its files, nine in ten of a large tree's edges.
    if (const auto* package = resolver.goPackage(edge.from, edge.to)) {
      const bool inside = std::binary_search(package->begin(), package->end(), edge.from);
      const std::size_t named = package->size() - (inside ? 1 : 0);
      if (named == 0) continue;
      // Counted per file named, as the import reaches each of them.
      count += static_cast<std::int64_t>(named);
      const std::uint32_t from = intern(edge.from);
      const std::uint32_t file = intern(edge.fileID);
      if (storesGoPackageReference(edge.from, package->front())) {
        want({from, targetOfPath.at(package->front()), file});
        continue;
      }
      for (const auto& path : *package) {
        if (path != edge.from) want({from, targetOfPath.at(path), file});
      }
      continue;
    }
    const auto paths = resolver.resolve(edge.from, edge.to);
    if (paths.empty()) continue;
    const std::uint32_t from = intern(edge.from);
    const std::uint32_t file = intern(edge.fileID);
    for (const auto& path : paths) {
      auto target = fileByPath.find(path);
      if (target == fileByPath.end() || target->second == edge.fileID) continue;
      ++count;
      want({from, targetOfPath.at(path), file});
    }
  }

  std::vector<std::int64_t> stale;
  std::unordered_set<ReferenceKey, ReferenceKeyHash> stored;
  auto existing = db_.prepare(kSelectReferenceEdges);
  existing.bindText(1, project);
  while (existing.step()) {
    auto id = db::integerOf(existing.column(0));
    if (!id) continue;
    auto from = existing.column(1);
    auto to = existing.column(2);
    auto fileID = existing.column(3);
    auto f = db::textOf(from);
    auto t = db::textOf(to);
    auto i = db::textOf(fileID);
    std::optional<ReferenceKey> key;
    if (f && t && i) {
      auto fi = textIndex.find(*f), ti = targetIndex.find(*t), ii = textIndex.find(*i);
      if (fi != textIndex.end() && ti != targetIndex.end() && ii != textIndex.end()) {
        key = ReferenceKey{fi->second, ti->second, ii->second};
      }
    }
    if (!key || !wanted.contains(*key) || !stored.insert(*key).second) stale.push_back(*id);
  }
  if (stale.empty() && stored.size() == wanted.size()) {
    ReferenceLinks links{count, codeGeneration(project, db_)};
    savepoint.commit();
    return links;
  }

  // Taking a row out of an index costs what putting one in does: a store that held a row for
  // each file of every imported Go package loses nine in ten of its edges on its first new run.
  const std::size_t inserts = references.size() - stored.size();
  const auto rebuild = setAsideEdgeIndexes(inserts + stale.size());
  auto remove = db_.prepare(kDeleteEdge);
  for (auto id : stale) fresh(remove).bindInt(1, id).run();
  auto insert = db_.prepare(kInsertEdgeOrIgnore);
  for (const auto& reference : references) {
    if (stored.contains(reference)) continue;
    try {
      fresh(insert)
          .bindText(1, *texts[reference.from])
          .bindText(2, targets[reference.to])
          .bindText(3, "references")
          .bindText(4, *texts[reference.file])
          .run();
    } catch (const db::Error&) {
      // A refused reference loses only that reference.
    }
  }
  for (const auto& sql : rebuild) db_.exec(sql);
  raiseGeneration(project);
  ReferenceLinks links{count, codeGeneration(project, db_)};
  savepoint.commit();
  return links;
}

}  // namespace nodrel::codeintel
