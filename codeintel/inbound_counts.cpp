#include "codeintel/inbound_counts.h"

#include <algorithm>
#include <string_view>

#include "codeintel/code_generation.h"
#include "codeintel/text_map.h"
#include "db/error.h"
#include "db/json_array.h"

namespace nodrel::codeintel {
namespace {

// The stored score rides along, so that a recomputation writes only the scores that changed
// without a second read of the files.
constexpr std::string_view kSelectProjectFiles =
    "SELECT rowid, id, relative_path, fragility_score FROM code_files WHERE project = ?";

// One indexed lookup per file of the project, where scanning the edges table and looking up
// each edge's file costs a lookup per edge. Files are told apart by rowid, which every index
// entry holds anyway, rather than by their long text ids.
constexpr std::string_view kSelectProjectEdgeTargets = R"sql(SELECT cf.rowid, ce.to_symbol
FROM code_files cf JOIN code_edges ce ON ce.file_id = cf.id
WHERE cf.project = ?)sql";

// Only the symbols that some edge names are looked up, instead of every (symbol, edge) pair of
// a join by name.
constexpr std::string_view kSelectSymbolsNamed = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) n
CROSS JOIN code_symbols cs ON cs.name = n.value)sql";

// Names stored as bytes, looked up only when some edge names its target in bytes.
constexpr std::string_view kSelectProjectByteNames = R"sql(SELECT cf.rowid, cs.name
FROM code_files cf JOIN code_symbols cs ON cs.file_id = cf.id
WHERE cf.project = ? AND typeof(cs.name) = 'blob')sql";

constexpr std::string_view kCountProjectSymbols = R"sql(SELECT COUNT(*)
FROM code_files cf JOIN code_symbols cs ON cs.file_id = cf.id
WHERE cf.project = ?)sql";

constexpr std::string_view kLastIngestion =
    "SELECT MAX(last_parsed) FROM code_files WHERE project = ?";

}  // namespace

ProjectCodeCounts readProjectCodeCounts(const std::string& project, db::Connection& db) {
  ProjectCodeCounts counts;
  const auto before = codeGeneration(project, db);

  std::unordered_map<std::int64_t, std::size_t> fileByRowid;
  TextViewMap<std::size_t> fileByID;
  {
    auto stmt = db.prepare(kSelectProjectFiles);
    stmt.bindText(1, project);
    while (stmt.step()) {
      ProjectCodeFile file;
      file.rowid = db::integerOf(stmt.column(0)).value_or(0);
      file.id = stmt.column(1);
      file.relativePath = stmt.column(2);
      file.storedScore = db::realOf(stmt.column(3));
      fileByRowid.emplace(file.rowid, counts.files.size());
      if (const std::string* id = db::textOf(file.id)) fileByID.emplace(*id, counts.files.size());
      counts.files.push_back(std::move(file));
    }
  }
  if (counts.files.empty()) {
    counts.generation = before;
    return counts;
  }

  // Target name to the files (as positions in `files`) of the edges that point at it, one entry
  // per edge.
  // Targets are looked up by a view of the row, so each distinct one is copied once.
  TextViewMap<std::vector<std::uint32_t>> edgesByTarget;
  TextViewMap<std::vector<std::uint32_t>> edgesByByteTarget;
  {
    auto stmt = db.prepare(kSelectProjectEdgeTargets);
    stmt.bindText(1, project);
    while (stmt.step()) {
      ++counts.totalEdges;
      auto file = fileByRowid.find(stmt.columnInteger(0).value_or(0));
      if (file == fileByRowid.end()) continue;
      const auto position = static_cast<std::uint32_t>(file->second);
      if (auto name = stmt.columnText(1)) {
        entryOf(edgesByTarget, *name).push_back(position);
      } else if (auto bytes = stmt.columnBlob(1)) {
        entryOf(edgesByByteTarget, *bytes).push_back(position);
      }
    }
  }

  if (!edgesByTarget.empty()) {
    std::vector<std::string> targets;
    targets.reserve(edgesByTarget.size());
    for (const auto& [target, files] : edgesByTarget) targets.push_back(target);
    auto stmt = db.prepare(kSelectSymbolsNamed);
    stmt.bindText(1, db::sqlJsonArray(targets));
    while (stmt.step()) {
      auto fileID = stmt.columnText(0);
      auto name = stmt.columnText(1);
      if (!fileID || !name) continue;
      auto edges = edgesByTarget.find(*name);
      if (edges == edgesByTarget.end()) continue;
      const auto& edgeFiles = edges->second;
      auto own = fileByID.find(*fileID);
      auto inbound = static_cast<std::int64_t>(edgeFiles.size());
      if (own != fileByID.end()) {
        inbound -= std::count(edgeFiles.begin(), edgeFiles.end(), own->second);
        counts.files[own->second].inbound += inbound;
      }
      if (inbound > 0) counts.inboundByFileID[std::string(*fileID)] += static_cast<double>(inbound);
    }
  }

  // Bytes match only the same bytes; the scores have always counted text names alone.
  if (!edgesByByteTarget.empty()) {
    auto stmt = db.prepare(kSelectProjectByteNames);
    stmt.bindText(1, project);
    while (stmt.step()) {
      auto name = stmt.columnBlob(1);
      auto file = fileByRowid.find(stmt.columnInteger(0).value_or(0));
      if (!name || file == fileByRowid.end()) continue;
      auto edges = edgesByByteTarget.find(*name);
      if (edges == edgesByByteTarget.end()) continue;
      const auto& edgeFiles = edges->second;
      counts.files[file->second].inbound +=
          static_cast<std::int64_t>(edgeFiles.size()) -
          std::count(edgeFiles.begin(), edgeFiles.end(), file->second);
    }
  }

  if (auto total = db.scalar(kCountProjectSymbols, {db::text(project)})) {
    counts.totalSymbols = db::integerOf(*total).value_or(0);
  }
  if (auto latest = db.scalar(kLastIngestion, {db::text(project)})) {
    if (const std::string* text = db::textOf(*latest)) counts.lastIngestion = *text;
  }
  const auto after = codeGeneration(project, db);
  if (before && after && *before == *after) counts.generation = before;
  return counts;
}

}  // namespace nodrel::codeintel
