#include "codeintel/code_summary.h"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <variant>

#include "db/error.h"
#include "db/json_array.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kCountCodeFiles = "SELECT COUNT(*) FROM code_files WHERE project = ?";
constexpr std::string_view kLastIngestion =
    "SELECT MAX(last_parsed) FROM code_files WHERE project = ?";
// The symbol and edge counts and the most connected files all come from these two reads of
// the project's files: each is one indexed lookup per file, where joining symbols to edges by
// name in SQL costs several lookups per edge. Each row is one symbol (one edge) of a file of
// the project, as the counting joins count them. Files are told apart by rowid, an integer
// that every index entry holds anyway, rather than by their long text ids.
constexpr std::string_view kProjectSymbolNames = R"sql(
  SELECT cf.rowid, cs.name
  FROM code_files cf JOIN code_symbols cs ON cs.file_id = cf.id
  WHERE cf.project = ?)sql";
constexpr std::string_view kProjectEdgeTargets = R"sql(
  SELECT cf.rowid, ce.to_symbol
  FROM code_files cf JOIN code_edges ce ON ce.file_id = cf.id
  WHERE cf.project = ?)sql";
constexpr std::string_view kFilePath = "SELECT relative_path FROM code_files WHERE rowid = ?";
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

// Which files declare a name, matched as SQLite's equality matches these TEXT columns: text
// only to the same text, blobs only to the same bytes, NULL to nothing. (Numbers cannot be
// stored in them: TEXT affinity turns them into text.)
class Declarations {
 public:
  void add(db::Value name, std::int64_t file) {
    if (std::string* text = std::get_if<std::string>(&name)) {
      byText_[std::move(*text)].push_back(file);
    } else if (db::Blob* blob = std::get_if<db::Blob>(&name)) {
      byBlob_[std::move(blob->bytes)].push_back(file);
    }
  }
  const std::vector<std::int64_t>* find(const db::Value& target) const {
    const auto lookUp = [](const auto& index, const std::string& key) {
      auto it = index.find(key);
      return it == index.end() ? nullptr : &it->second;
    };
    if (const std::string* text = db::textOf(target)) return lookUp(byText_, *text);
    if (const db::Blob* blob = db::blobOf(target)) return lookUp(byBlob_, blob->bytes);
    return nullptr;
  }

 private:
  std::unordered_map<std::string, std::vector<std::int64_t>> byText_;
  std::unordered_map<std::string, std::vector<std::int64_t>> byBlob_;
};

}  // namespace

std::int64_t countCodeFiles(const std::string& project, db::Connection& db) {
  auto files = db.scalar(kCountCodeFiles, {db::text(project)});
  return files ? db::integerOf(*files).value_or(0) : 0;
}

CodeSummary computeCodeSummary(const std::string& project, db::Connection& db) {
  CodeSummary summary;
  summary.totalFiles = countCodeFiles(project, db);
  if (summary.totalFiles < 1) return summary;

  Declarations declarations;
  auto symbols = db.prepare(kProjectSymbolNames);
  symbols.bindText(1, project);
  while (symbols.step()) {
    ++summary.totalSymbols;
    declarations.add(symbols.column(1), db::integerOf(symbols.column(0)).value_or(0));
  }
  // Per file of the project, the edges of its other files whose target is the name of one of
  // its symbols, one per (symbol, edge) pair.
  std::unordered_map<std::int64_t, std::int64_t> inbound;  // file rowid -> count
  auto edges = db.prepare(kProjectEdgeTargets);
  edges.bindText(1, project);
  while (edges.step()) {
    ++summary.totalEdges;
    const auto* declaredIn = declarations.find(edges.column(1));
    if (!declaredIn) continue;
    const std::int64_t edgeFile = db::integerOf(edges.column(0)).value_or(0);
    for (std::int64_t file : *declaredIn) {
      if (file != edgeFile) ++inbound[file];
    }
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> ranked(inbound.begin(), inbound.end());
  const auto first = ranked.begin();
  const auto last =
      first + static_cast<std::ptrdiff_t>(std::min(ranked.size(), kTopConnectedLimit));
  std::partial_sort(first, last, ranked.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  for (auto it = first; it != last; ++it) {
    auto path = db.scalar(kFilePath, {it->first});
    if (const std::string* text = path ? db::textOf(*path) : nullptr) {
      summary.topConnectedFiles.push_back(*text);
    }
  }
  if (auto latest = db.scalar(kLastIngestion, {db::text(project)})) {
    if (const std::string* text = db::textOf(*latest)) summary.lastIngestion = *text;
  }
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
