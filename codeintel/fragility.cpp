#include "codeintel/fragility.h"

#include <algorithm>
#include <chrono>

#include "db/savepoint.h"
#include "platform/time.h"

namespace nodrel::codeintel {
namespace {

// Inbound counts: for each symbol of any file and each edge of the project's files whose target
// is the symbol's name and which was found in another file, one count for the symbol's file.
// Joining symbols to edges in SQL visits every (symbol, edge) pair through the table; the edges
// are read once instead and only the symbols that some edge names are looked up.
constexpr std::string_view kSelectProjectEdgeTargets = R"sql(SELECT ce.to_symbol, ce.file_id
FROM code_edges ce NOT INDEXED
CROSS JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ?)sql";

constexpr std::string_view kSelectSymbolsNamed = R"sql(SELECT cs.file_id, cs.name
FROM json_each(?) n
CROSS JOIN code_symbols cs ON cs.name = n.value)sql";

// Each pair once, summed for both its files here: grouping by each side in SQL walks the
// table twice.
constexpr std::string_view kSelectCoChangePairs =
    "SELECT file_a, file_b, count FROM co_changes WHERE project = ?";

constexpr std::string_view kSelectProjectFiles =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

constexpr std::string_view kUpdateScore = "UPDATE code_files SET fragility_score = ? WHERE id = ?";

constexpr std::string_view kSelectStoredScores =
    "SELECT id, fragility_score FROM code_files WHERE project = ?";

constexpr std::string_view kSelectTopFiles = R"sql(SELECT relative_path, fragility_score
FROM code_files
WHERE project = ?
ORDER BY fragility_score DESC
LIMIT ?)sql";

// Stored times end in "+0000", which SQLite's date functions refuse; "+00:00" they read. The
// window's bound is compared as text, which orders the stored form by time.
constexpr std::string_view kCountRecentBuildReports =
    R"sql(SELECT COUNT(DISTINCT strftime('%Y-%m-%dT%H:%M:%S',
    substr(timestamp, 1, 26) || ':' || substr(timestamp, 27)))
FROM build_failures
WHERE project = ? AND timestamp >= ?)sql";

constexpr std::string_view kCountRecentBuildReportsByFile =
    R"sql(SELECT error_file, COUNT(DISTINCT strftime('%Y-%m-%dT%H:%M:%S',
    substr(timestamp, 1, 26) || ':' || substr(timestamp, 27)))
FROM build_failures
WHERE project = ? AND timestamp >= ?
GROUP BY error_file)sql";

constexpr auto kBuildFailureWindow = std::chrono::seconds(2'592'000);  // 30 days

double largestOr(const std::unordered_map<std::string, double>& table, double fallback) {
  if (table.empty()) return fallback;
  double best = table.begin()->second;
  for (const auto& [key, value] : table) best = std::max(best, value);
  return best;
}

}  // namespace

std::string sqlJsonArray(const std::vector<std::string>& values) {
  static const char* hex = "0123456789abcdef";
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i) out += ',';
    out += '"';
    for (unsigned char c : values[i]) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (c < 0x20) {
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

std::unordered_map<std::string, double> fetchInboundCounts(const std::string& project,
                                                           db::Connection& db) {
  // Target name to the files of the edges that point at it, one entry per edge.
  std::unordered_map<std::string, std::vector<std::uint32_t>> edgesByTarget;
  std::unordered_map<std::string, std::uint32_t> fileIndex;
  {
    auto stmt = db.prepare(kSelectProjectEdgeTargets);
    stmt.bindText(1, project);
    while (stmt.step()) {
      auto targetValue = stmt.column(0);
      auto fileValue = stmt.column(1);
      auto target = db::textOf(targetValue);
      auto file = db::textOf(fileValue);
      if (!target || !file) continue;
      auto index = fileIndex.try_emplace(*file, static_cast<std::uint32_t>(fileIndex.size()));
      edgesByTarget[*target].push_back(index.first->second);
    }
  }
  std::unordered_map<std::string, double> counts;
  if (edgesByTarget.empty()) return counts;

  std::vector<std::string> targets;
  targets.reserve(edgesByTarget.size());
  for (const auto& [target, files] : edgesByTarget) targets.push_back(target);
  auto stmt = db.prepare(kSelectSymbolsNamed);
  stmt.bindText(1, sqlJsonArray(targets));
  while (stmt.step()) {
    auto fileValue = stmt.column(0);
    auto nameValue = stmt.column(1);
    auto file = db::textOf(fileValue);
    auto name = db::textOf(nameValue);
    if (!file || !name) continue;
    const auto& files = edgesByTarget.at(*name);
    auto own = fileIndex.find(*file);
    std::int64_t inbound = static_cast<std::int64_t>(files.size());
    if (own != fileIndex.end()) {
      inbound -= std::count(files.begin(), files.end(), own->second);
    }
    if (inbound > 0) counts[*file] += static_cast<double>(inbound);
  }
  return counts;
}

std::unordered_map<std::string, double> fetchCoChangeTotals(const std::string& project,
                                                            db::Connection& db) {
  std::unordered_map<std::string, double> totals;
  auto stmt = db.prepare(kSelectCoChangePairs);
  stmt.bindText(1, project);
  while (stmt.step()) {
    // A pair without a count adds nothing, as SQL's SUM passes over NULL.
    const auto value = stmt.column(2);
    std::optional<double> count = db::realOf(value);
    if (auto integer = db::integerOf(value)) count = static_cast<double>(*integer);
    if (!count) continue;
    for (int side = 0; side < 2; ++side) {
      auto path = stmt.column(side);
      if (auto text = db::textOf(path)) totals[*text] += *count;
    }
  }
  return totals;
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

std::unordered_map<std::string, double> fetchRecentBuildFailureShares(const std::string& project,
                                                                      db::Connection& db) {
  std::unordered_map<std::string, double> shares;
  auto cutoff = platform::sharedTimestampFormatter().format(
      platform::now() - std::chrono::duration_cast<std::chrono::milliseconds>(kBuildFailureWindow));
  auto totalValue = db.scalar(kCountRecentBuildReports, {db::text(project), db::text(cutoff)});
  std::int64_t total = totalValue ? db::integerOf(*totalValue).value_or(0) : 0;
  if (total < 1) return shares;
  auto stmt = db.prepare(kCountRecentBuildReportsByFile);
  stmt.bindText(1, project).bindText(2, cutoff);
  while (stmt.step()) {
    auto file = stmt.column(0);
    auto count = db::integerOf(stmt.column(1));
    if (auto text = db::textOf(file); text && count) {
      shares[*text] = static_cast<double>(*count) / static_cast<double>(total);
    }
  }
  return shares;
}

void recomputeFragilityScores(const std::string& project, db::Connection& db) {
  auto inbound = fetchInboundCounts(project, db);
  auto coChanges = fetchCoChangeTotals(project, db);
  auto files = fetchProjectFiles(project, db);
  if (files.empty()) return;

  const double maxInbound = largestOr(inbound, 1.0);
  const double maxCo = largestOr(coChanges, 1.0);
  // A failing count lowers scores by their build term only, never the rest of the score.
  std::unordered_map<std::string, double> buildShares;
  try {
    buildShares = fetchRecentBuildFailureShares(project, db);
  } catch (const std::exception&) {
    buildShares.clear();
  }

  // Scores that did not change are not written again, so a run over an unchanged tree leaves
  // the database file as it was.
  std::unordered_map<std::string, double> stored;
  {
    auto stmt = db.prepare(kSelectStoredScores);
    stmt.bindText(1, project);
    while (stmt.step()) {
      auto id = stmt.column(0);
      auto score = db::realOf(stmt.column(1));
      if (auto text = db::textOf(id); text && score) stored[*text] = *score;
    }
  }

  db::Savepoint savepoint(db, "fragility");
  auto update = db.prepare(kUpdateScore);
  for (const auto& [id, path] : files) {
    auto in = inbound.find(id);
    auto co = coChanges.find(path);
    auto build = buildShares.find(path);
    const double inboundValue = in == inbound.end() ? 0.0 : in->second;
    const double coValue = co == coChanges.end() ? 0.0 : co->second;
    const double inboundTerm = maxInbound > 0 ? inboundValue / maxInbound : 0.0;
    const double coTerm = maxCo > 0 ? (coValue / maxCo) * 0.4 : 0.0;
    const double buildTerm = 0.1 * (build == buildShares.end() ? 0.0 : build->second);
    const double score = (coTerm + inboundTerm * 0.5) + buildTerm;
    if (auto old = stored.find(id); old != stored.end() && old->second == score) continue;
    update.bindDouble(1, score).bindText(2, id);
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
