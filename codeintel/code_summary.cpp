#include "codeintel/code_summary.h"

#include <algorithm>
#include <utility>

#include "db/error.h"
#include "db/json_array.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kCountCodeFiles = "SELECT COUNT(*) FROM code_files WHERE project = ?";
constexpr std::size_t kTopConnectedLimit = 5;

// The stored figures with the project's counter of the same moment, so that a summary and the
// rows it describes are compared in one read.
constexpr std::string_view kSelectStoredSummary =
    R"sql(SELECT s.generation, s.total_files, s.total_symbols, s.total_edges,
       s.last_ingestion, s.reference_attempts, s.fragility_inputs,
       COALESCE(g.generation, 0)
FROM code_summaries s
LEFT JOIN code_generations g ON g.project = s.project
WHERE s.project = ?)sql";

constexpr std::string_view kSelectStoredTopFiles = R"sql(SELECT j.value
FROM code_summaries s, json_each(s.top_connected_files) j
WHERE s.project = ?
ORDER BY j.key)sql";

constexpr std::string_view kUpsertSummary =
    R"sql(INSERT INTO code_summaries (project, generation, total_files, total_symbols, total_edges,
    top_connected_files, last_ingestion, reference_attempts, fragility_inputs)
VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)
ON CONFLICT(project) DO UPDATE SET
    generation = excluded.generation,
    total_files = excluded.total_files,
    total_symbols = excluded.total_symbols,
    total_edges = excluded.total_edges,
    top_connected_files = excluded.top_connected_files,
    last_ingestion = excluded.last_ingestion,
    reference_attempts = excluded.reference_attempts,
    fragility_inputs = excluded.fragility_inputs)sql";

}  // namespace

std::int64_t countCodeFiles(const std::string& project, db::Connection& db) {
  auto files = db.scalar(kCountCodeFiles, {db::text(project)});
  return files ? db::integerOf(*files).value_or(0) : 0;
}

CodeSummary computeCodeSummary(const std::string& project, db::Connection& db) {
  return codeSummaryFrom(readProjectCodeCounts(project, db));
}

CodeSummary codeSummaryFrom(const ProjectCodeCounts& counts) {
  CodeSummary summary;
  summary.totalFiles = static_cast<std::int64_t>(counts.files.size());
  if (summary.totalFiles < 1) return summary;
  summary.totalSymbols = counts.totalSymbols;
  summary.totalEdges = counts.totalEdges;
  std::vector<const ProjectCodeFile*> ranked;
  for (const auto& file : counts.files) {
    if (file.inbound > 0) ranked.push_back(&file);
  }
  const auto first = ranked.begin();
  const auto last =
      first + static_cast<std::ptrdiff_t>(std::min(ranked.size(), kTopConnectedLimit));
  std::partial_sort(first, last, ranked.end(), [](const auto* a, const auto* b) {
    return a->inbound != b->inbound ? a->inbound > b->inbound : a->rowid < b->rowid;
  });
  for (auto it = first; it != last; ++it) {
    if (const std::string* path = db::textOf((*it)->relativePath)) {
      summary.topConnectedFiles.push_back(*path);
    }
  }
  summary.lastIngestion = counts.lastIngestion;
  return summary;
}

std::optional<StoredCodeSummary> readStoredCodeSummary(const std::string& project,
                                                       db::Connection& db) {
  try {
    auto rows = db.query(kSelectStoredSummary, {db::text(project)});
    if (rows.empty()) return std::nullopt;
    const auto& row = rows.front();
    auto generation = db::integerOf(row[0]);
    auto current = db::integerOf(row[7]);
    auto files = db::integerOf(row[1]);
    auto symbols = db::integerOf(row[2]);
    auto edges = db::integerOf(row[3]);
    if (!generation || !current || *generation != *current || !files || !symbols || !edges) {
      return std::nullopt;
    }
    StoredCodeSummary stored;
    stored.generation = *generation;
    stored.summary.totalFiles = *files;
    stored.summary.totalSymbols = *symbols;
    stored.summary.totalEdges = *edges;
    if (const std::string* text = db::textOf(row[4])) stored.summary.lastIngestion = *text;
    stored.referenceAttempts = db::integerOf(row[5]);
    if (const std::string* text = db::textOf(row[6])) stored.fragilityInputs = *text;
    for (const auto& path : db.query(kSelectStoredTopFiles, {db::text(project)})) {
      const std::string* text = db::textOf(path[0]);
      if (!text) return std::nullopt;
      stored.summary.topConnectedFiles.push_back(*text);
    }
    return stored;
  } catch (const db::Error&) {
    return std::nullopt;
  }
}

void storeCodeSummary(const std::string& project, const StoredCodeSummary& stored,
                      db::Connection& db) {
  const auto& s = stored.summary;
  db.run(kUpsertSummary,
         {db::text(project), stored.generation, s.totalFiles, s.totalSymbols, s.totalEdges,
          db::text(db::sqlJsonArray(s.topConnectedFiles)), db::optionalText(s.lastIngestion),
          stored.referenceAttempts ? db::Value(*stored.referenceAttempts) : db::Value(db::Null{}),
          db::optionalText(stored.fragilityInputs)});
}

}  // namespace nodrel::codeintel
