#include "codeintel/fragility.h"

#include <algorithm>

#include "codeintel/build_failures.h"
#include "codeintel/co_changes.h"
#include "db/json_array.h"
#include "db/savepoint.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectProjectFiles =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

// By rowid, which the files were read with, rather than through the index of the long text
// ids; the id still guards against a row of another file that took over the rowid since.
constexpr std::string_view kUpdateScore =
    "UPDATE code_files SET fragility_score = ? WHERE rowid = ? AND id = ?";

constexpr std::string_view kSelectTopFiles = R"sql(SELECT relative_path, fragility_score
FROM code_files
WHERE project = ?
ORDER BY fragility_score DESC
LIMIT ?)sql";

template <typename Table>
double largestOr(const Table& table, double fallback) {
  if (table.empty()) return fallback;
  double best = table.begin()->second;
  for (const auto& [key, value] : table) best = std::max(best, value);
  return best;
}

}  // namespace

std::unordered_map<std::string, double> fetchInboundCounts(const std::string& project,
                                                           db::Connection& db) {
  return readProjectCodeCounts(project, db).inboundByFileID;
}

std::vector<std::pair<std::string, std::string>> fetchProjectFiles(const std::string& project,
                                                                   db::Connection& db) {
  std::vector<std::pair<std::string, std::string>> files;
  auto stmt = db.prepare(kSelectProjectFiles);
  stmt.bindText(1, project);
  while (stmt.step()) {
    auto id = stmt.column(0);
    auto path = stmt.column(1);
    auto idText = db::textOf(id);
    auto pathText = db::textOf(path);
    if (idText && pathText) files.emplace_back(*idText, *pathText);
  }
  return files;
}

void recomputeFragilityScores(const std::string& project, db::Connection& db) {
  recomputeFragilityScores(project, readProjectCodeCounts(project, db), db);
}

FragilityTables readFragilityTables(const std::string& project, db::Connection& db) {
  FragilityTables tables;
  tables.coChanges = fetchCoChangeTotals(project, db);
  // A failing count lowers scores by their build term only, never the rest of the score.
  try {
    tables.buildShares = fetchRecentBuildFailureShares(project, db);
  } catch (const std::exception&) {
    tables.buildShares.clear();
    tables.buildSharesRead = false;
  }
  return tables;
}

void recomputeFragilityScores(const std::string& project, const ProjectCodeCounts& counts,
                              db::Connection& db) {
  recomputeFragilityScores(counts, readFragilityTables(project, db), db);
}

void recomputeFragilityScores(const ProjectCodeCounts& counts, const FragilityTables& tables,
                              db::Connection& db) {
  if (counts.files.empty()) return;
  const auto& inbound = counts.inboundByFileID;
  const auto& coChanges = tables.coChanges;
  const auto& buildShares = tables.buildShares;
  const double maxInbound = largestOr(inbound, 1.0);
  const double maxCo = largestOr(coChanges, 1.0);

  db::Savepoint savepoint(db, "fragility");
  auto update = db.prepare(kUpdateScore);
  for (const auto& file : counts.files) {
    const std::string* id = db::textOf(file.id);
    const std::string* path = db::textOf(file.relativePath);
    if (!id || !path) continue;
    auto in = inbound.find(*id);
    auto co = coChanges.find(*path);
    auto build = buildShares.find(*path);
    const double inboundValue = in == inbound.end() ? 0.0 : in->second;
    const double coValue = co == coChanges.end() ? 0.0 : co->second;
    const double inboundTerm = maxInbound > 0 ? inboundValue / maxInbound : 0.0;
    const double coTerm = maxCo > 0 ? (coValue / maxCo) * 0.4 : 0.0;
    const double buildTerm = 0.1 * (build == buildShares.end() ? 0.0 : build->second);
    const double score = (coTerm + inboundTerm * 0.5) + buildTerm;
    // Scores that did not change are not written again, so a run over an unchanged tree leaves
    // the database file as it was.
    if (file.storedScore == score) continue;
    update.bindDouble(1, score).bindInt(2, file.rowid).bindText(3, *id);
    update.run();
    update.reset();
  }
  savepoint.commit();
}

std::vector<FragileFileScore> fetchTopFragileFiles(const std::string& project, std::int64_t limit,
                                                   db::Connection& db) {
  std::vector<FragileFileScore> top;
  auto stmt = db.prepare(kSelectTopFiles);
  stmt.bindText(1, project).bindInt(2, limit);
  while (stmt.step()) {
    auto path = stmt.column(0);
    auto score = db::realOf(stmt.column(1));
    if (auto text = db::textOf(path); text && score) top.push_back({*text, *score});
  }
  return top;
}

}  // namespace nodrel::codeintel
