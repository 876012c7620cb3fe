#include "codeintel/code_ingestion_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/code_generation.h"
#include "codeintel/code_summary.h"
#include "codeintel/fragility.h"
#include "codeintel/ingestion.h"
#include "codeintel/source_file.h"
#include "codeintel/source_parser.h"
#include "db/error.h"
#include "db/savepoint.h"
#include "platform/paths.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectContentHash = "SELECT content_hash FROM code_files WHERE id = ?";

constexpr std::string_view kUpsertFile = R"sql(INSERT INTO code_files (id, project, relative_path, language, content_hash, last_parsed)
VALUES (?, ?, ?, ?, ?, ?)
ON CONFLICT(id) DO UPDATE SET
    content_hash = excluded.content_hash,
    last_parsed  = excluded.last_parsed)sql";

constexpr std::string_view kDeleteSymbols = "DELETE FROM code_symbols WHERE file_id = ?";
constexpr std::string_view kDeleteEdges = "DELETE FROM code_edges WHERE file_id = ?";

constexpr std::string_view kInsertSymbol = R"sql(INSERT INTO code_symbols (file_id, name, kind, line_start, line_end, signature)
VALUES (?, ?, ?, ?, ?, ?))sql";

constexpr std::string_view kInsertEdge = R"sql(INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id)
VALUES (?, ?, ?, ?))sql";

constexpr std::string_view kInsertEdgeOrIgnore = R"sql(INSERT OR IGNORE INTO code_edges (from_symbol, to_symbol, edge_type, file_id)
VALUES (?, ?, ?, ?))sql";

constexpr std::string_view kSelectImportEdges = R"sql(SELECT ce.from_symbol, ce.to_symbol, ce.file_id
FROM code_edges ce
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ? AND ce.edge_type = ?)sql";

constexpr std::string_view kSelectFileKeys = "SELECT id, relative_path FROM code_files WHERE project = ?";

// References are derived from imports on every run. The project's stored references are
// compared with the derived ones: those no import resolves to any more are deleted, missing
// ones inserted, so an unchanged tree writes nothing and a stale reference never outlives its
// import, whatever keys the table has.
constexpr std::string_view kSelectReferenceEdges = R"sql(SELECT ce.id, ce.from_symbol, ce.to_symbol, ce.file_id
FROM code_edges ce
JOIN code_files cf ON cf.id = ce.file_id
WHERE cf.project = ? AND ce.edge_type = 'references')sql";

constexpr std::string_view kDeleteEdge = "DELETE FROM code_edges WHERE id = ?";

// A context path names a file when it is the file's relative path, or a trailing part of it
// at a "/" boundary in which ASCII letters match in either case (as LIKE compares); its own
// "%", "_" and "\" are plain characters, and an empty one names nothing. Each trailing part
// of each file's path is looked up in the index of context paths, so the cost follows the
// files and their depth, however many memories there are.
constexpr std::string_view kSelectMemoriesNamingPaths = R"sql(SELECT p.value, m.id, m.context_path
FROM json_each(?) p
CROSS JOIN memories m ON m.context_path = p.value COLLATE NOCASE
WHERE m.context_path IS NOT NULL AND m.context_path != '')sql";

// What the last runs stored of the discovered files: the content hash, and the stamp of the
// file as it was when that content was read.
constexpr std::string_view kSelectStoredFiles = R"sql(SELECT f.value, cf.content_hash, st.size, st.modified_ns, st.changed_ns, st.inode,
       st.content_hash
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value
LEFT JOIN code_file_stamps st ON st.file_id = cf.id)sql";

// The same without stamps, for a database made before they were kept.
constexpr std::string_view kSelectStoredHashes = R"sql(SELECT f.value, cf.content_hash
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value)sql";

constexpr std::string_view kUpsertStamp = R"sql(INSERT OR REPLACE INTO code_file_stamps (file_id, size, modified_ns, changed_ns, inode, content_hash)
VALUES (?, ?, ?, ?, ?, ?))sql";

constexpr std::string_view kDeleteStamp = "DELETE FROM code_file_stamps WHERE file_id = ?";

constexpr std::string_view kInsertMemoryLink = R"sql(INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
VALUES (?, ?, 'entity', 1.0, ?))sql";

std::string extensionOf(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

// The last path component with its extension removed, as the platform's path functions give
// it: "src/utils/format.ts" and "./utils/format" give "format", "os.path" gives "os".
std::string stemOf(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0) name = name.substr(0, dot);
  return std::string(name);
}

constexpr auto kBatchDuration = std::chrono::milliseconds(500);

// Two settings of the caller's connection change for the length of a run and come back when
// it ends, however it ends: a larger page cache, since a run touches the same index pages over
// and over and SQLite's default of about 2 MB spills and rereads them, and temporary storage in
// memory, since every file's savepoint otherwise journals each page it touches to a temporary
// file. A setting that cannot be changed leaves the run slower, not wrong.
class RunSettings {
 public:
  explicit RunSettings(db::Connection& db) : db_(db) {
    cacheSize_ = change("cache_size", [](std::int64_t old) {
      return old < 0 && -old >= kRunCacheKibibytes ? std::nullopt
                                                   : std::optional<std::int64_t>(-kRunCacheKibibytes);
    });
    tempStore_ = change("temp_store", [](std::int64_t old) {
      return old == kTempStoreMemory ? std::nullopt : std::optional<std::int64_t>(kTempStoreMemory);
    });
  }
  ~RunSettings() {
    restore("temp_store", tempStore_);
    restore("cache_size", cacheSize_);
  }
  RunSettings(const RunSettings&) = delete;
  RunSettings& operator=(const RunSettings&) = delete;

 private:
  static constexpr std::int64_t kRunCacheKibibytes = 64 * 1024;
  static constexpr std::int64_t kTempStoreMemory = 2;

  // Sets the pragma to what `wanted` makes of its current value; returns the value to restore.
  template <class Wanted>
  std::optional<std::int64_t> change(const std::string& pragma, Wanted wanted) {
    try {
      auto value = db_.scalar("PRAGMA " + pragma + ";");
      auto old = value ? db::integerOf(*value) : std::nullopt;
      if (!old) return std::nullopt;
      auto next = wanted(*old);
      if (!next) return std::nullopt;
      db_.exec("PRAGMA " + pragma + " = " + std::to_string(*next) + ";");
      return old;
    } catch (const db::Error&) {
      return std::nullopt;
    }
  }
  void restore(const std::string& pragma, const std::optional<std::int64_t>& old) noexcept {
    if (!old) return;
    try {
      db_.exec("PRAGMA " + pragma + " = " + std::to_string(*old) + ";");
    } catch (...) {
      // The run's setting stays; it costs memory, not correctness.
    }
  }

  db::Connection& db_;
  std::optional<std::int64_t> cacheSize_;
  std::optional<std::int64_t> tempStore_;
};

db::Statement& fresh(db::Statement& stmt) {
  stmt.reset();
  return stmt;
}

// 200000 as "200,000".
std::string groupedDecimal(std::size_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

// The relative path of a file below the root, or nothing when it does not lie below it.
std::optional<std::string> relativePathOf(const std::string& filePath, const std::string& root) {
  const std::string prefix = root.ends_with('/') ? root : root + "/";
  if (!filePath.starts_with(prefix) || filePath.size() == prefix.size()) return std::nullopt;
  return filePath.substr(prefix.size());
}

std::string fileIDOf(const std::string& root, const std::string& relativePath) {
  return platform::sha256Hex((root.ends_with('/') ? root : root + "/") + relativePath);
}

// The inputs of the project's fragility scores other than its own code rows, as one digest:
// every project's code counter (a file of any project may declare a name that the project's
// edges point at), the co-change totals and the recent build-failure shares. Equal digests
// give equal scores. Throws db::Error.
std::optional<std::string> fragilityInputs(const std::string& project, db::Connection& db) {
  auto generations = totalCodeGeneration(db);
  if (!generations) return std::nullopt;
  std::string text = "generations " + std::to_string(*generations) + "\n";
  auto append = [&](const char* kind, const std::unordered_map<std::string, double>& table) {
    std::map<std::string, double> sorted(table.begin(), table.end());
    for (const auto& [key, value] : sorted) {
      char number[64];
      std::snprintf(number, sizeof number, " %a\n", value);
      text += kind;
      text += ' ';
      text += std::to_string(key.size());
      text += ':';
      text += key;
      text += number;
    }
  };
  append("co", fetchCoChangeTotals(project, db));
  append("build", fetchRecentBuildFailureShares(project, db));
  return platform::sha256Hex(text);
}

}  // namespace

// What a file's stored row says, read for every discovered file before the files are read.
struct CodeIngestionService::StoredFile {
  std::optional<std::string> contentHash;
  std::optional<FileStamp> stamp;  // only one taken with the stored content
};

struct CodeIngestionService::Prepared {
  std::filesystem::path file;
  std::string root;
  std::string relativePath;
  std::string fileID;
  std::optional<std::string> error;  // the file fails with this text
  bool unchangedStamp = false;       // skipped without being read
  std::optional<std::string> contentHash;
  std::optional<FileStamp> stamp;    // as read; kept only once settled
  std::optional<ParsedFile> parsed;  // parsed when the stored hash was known to differ
  std::string text;                  // kept only when it was not parsed
};

struct CodeIngestionService::Statements {
  explicit Statements(db::Connection& db)
      : contentHash(db.prepare(kSelectContentHash)),
        upsertFile(db.prepare(kUpsertFile)),
        deleteSymbols(db.prepare(kDeleteSymbols)),
        deleteEdges(db.prepare(kDeleteEdges)),
        insertSymbol(db.prepare(kInsertSymbol)),
        insertEdge(db.prepare(kInsertEdge)),
        insertEdgeOrIgnore(db.prepare(kInsertEdgeOrIgnore)) {}

  db::Statement contentHash;
  db::Statement upsertFile;
  db::Statement deleteSymbols;
  db::Statement deleteEdges;
  db::Statement insertSymbol;
  db::Statement insertEdge;
  db::Statement insertEdgeOrIgnore;
  // Prepared on first use; nothing when the database keeps no stamps.
  std::optional<db::Statement> upsertStamp;
  std::optional<db::Statement> deleteStamp;
};

// Compared by identity as well, so a link to either is refused too.
std::optional<std::string> wholeTreeRefusal(std::string_view projectPath) {
  const std::string project = normaliseProjectPath(projectPath);
  if (project.empty()) return std::nullopt;
  std::error_code ec;
  if (project == "/" || std::filesystem::equivalent(project, "/", ec)) {
    return "refusing to ingest the filesystem root (/); name a project directory";
  }
  const auto home = platform::homeDirectory();
  if (!home) return std::nullopt;
  const std::string homePath = normaliseProjectPath(home->string());
  if (project == homePath || std::filesystem::equivalent(project, homePath, ec)) {
    return "refusing to ingest the home directory itself (" + project +
           "); name a project directory inside it";
  }
  return std::nullopt;
}

CodeIngestionService::CodeIngestionService(db::Connection& db, SourceParser parser,
                                           std::size_t maxSourceFiles, IngestionOptions options)
    : db_(db),
      parser_(parser ? std::move(parser) : SourceParser(parseSourceFile)),
      maxSourceFiles_(maxSourceFiles),
      options_(options),
      writeQueue_(std::string(kIngestionQueueLabel)) {}

CodeIngestionService::~CodeIngestionService() = default;

CodeIngestionService::Statements& CodeIngestionService::statements() {
  if (!statements_) statements_ = std::make_unique<Statements>(db_);
  return *statements_;
}

std::optional<std::string> CodeIngestionService::storedContentHash(const std::string& fileID) {
  auto& stmt = fresh(statements().contentHash);
  stmt.bindText(1, fileID);
  std::optional<std::string> hash;
  if (stmt.step()) {
    auto value = stmt.column(0);
    if (auto text = db::textOf(value)) hash = *text;
  }
  stmt.reset();
  return hash;
}

std::optional<std::unordered_map<std::string, CodeIngestionService::StoredFile>>
CodeIngestionService::readStoredFiles(const std::vector<std::string>& fileIDs) {
  std::unordered_map<std::string, StoredFile> stored;
  const std::string ids = sqlJsonArray(fileIDs);
  auto collect = [&](db::Statement& stmt, bool withStamps) {
    stmt.bindText(1, ids);
    while (stmt.step()) {
      auto idValue = stmt.column(0);
      const std::string* id = db::textOf(idValue);
      if (!id) continue;
      StoredFile file;
      auto hashValue = stmt.column(1);
      if (const std::string* hash = db::textOf(hashValue)) file.contentHash = *hash;
      if (withStamps) {
        auto size = db::integerOf(stmt.column(2));
        auto modified = db::integerOf(stmt.column(3));
        auto changed = db::integerOf(stmt.column(4));
        auto inode = db::integerOf(stmt.column(5));
        auto stampHashValue = stmt.column(6);
        const std::string* stampHash = db::textOf(stampHashValue);
        if (size && modified && changed && inode && stampHash && file.contentHash &&
            *stampHash == *file.contentHash) {
          file.stamp = FileStamp{*size, *modified, *changed, *inode};
        }
      }
      stored.emplace(*id, std::move(file));
    }
  };
  try {
    auto stmt = db_.prepare(kSelectStoredFiles);
    collect(stmt, true);
    return stored;
  } catch (const db::Error& error) {
    if (error.isBusyOrLocked()) throw;
  }
  // A database without the stamps table: every file is read and hashed.
  stampsAvailable_ = false;
  stored.clear();
  try {
    auto stmt = db_.prepare(kSelectStoredHashes);
    collect(stmt, false);
    return stored;
  } catch (const db::Error& error) {
    if (error.isBusyOrLocked()) throw;
  }
  // Each file then asks on its own, and fails as its own query fails.
  return std::nullopt;
}

CodeIngestionService::Prepared CodeIngestionService::prepareFile(
    const std::filesystem::path& file, const std::string& root,
    const std::unordered_map<std::string, StoredFile>* stored) const {
  Prepared prepared;
  prepared.file = file;
  prepared.root = root;
  try {
    auto relative = relativePathOf(file.string(), root);
    if (!relative) throw IngestionError("not below the project directory");
    prepared.relativePath = std::move(*relative);
    prepared.fileID = fileIDOf(root, prepared.relativePath);
    const StoredFile* known = nullptr;
    if (stored) {
      if (auto it = stored->find(prepared.fileID); it != stored->end()) known = &it->second;
    }
    if (known && known->stamp) {
      if (auto stamp = peekStamp(file.string()); stamp && *stamp == *known->stamp) {
        prepared.unchangedStamp = true;
        return prepared;
      }
    }
    SourceRead read = readSourceText(file);
    prepared.stamp = read.stamp;
    prepared.contentHash = platform::sha256Hex(read.text);
    // Parsed here only when the stored hash is known to differ; otherwise the writer decides.
    if (stored && !(known && known->contentHash == prepared.contentHash)) {
      const auto language = languageForExtension(extensionOf(file.filename().string()));
      prepared.parsed = parser_(read.text, language ? *language : "unknown");
    } else if (!stored) {
      prepared.text = std::move(read.text);
    }
  } catch (const std::exception& error) {
    prepared.error = error.what();
  }
  return prepared;
}

void CodeIngestionService::raiseGeneration(const std::string& project) {
  // A database made before the counters were kept has no figures or graphs to invalidate.
  if (!generationsAvailable_) generationsAvailable_ = codeGeneration(project, db_).has_value();
  if (*generationsAvailable_) bumpCodeGeneration(project, db_);
}

FileIngestion CodeIngestionService::writePrepared(
    Prepared& prepared, const std::unordered_map<std::string, StoredFile>* stored,
    bool bumpGeneration) {
  if (prepared.error) throw IngestionError(*prepared.error);
  if (prepared.unchangedStamp) return {0, 0, true};
  auto& s = statements();

  auto keepStamp = [&](bool changedContent) {
    if (!stampsAvailable_ || !prepared.stamp) return;
    try {
      if (settled(*prepared.stamp, options_.settledAfter)) {
        if (!s.upsertStamp) s.upsertStamp.emplace(db_.prepare(kUpsertStamp));
        fresh(*s.upsertStamp)
            .bindText(1, prepared.fileID)
            .bindInt(2, prepared.stamp->size)
            .bindInt(3, prepared.stamp->modifiedNs)
            .bindInt(4, prepared.stamp->changedNs)
            .bindInt(5, prepared.stamp->inode)
            .bindText(6, *prepared.contentHash)
            .run();
      } else if (changedContent) {
        if (!s.deleteStamp) s.deleteStamp.emplace(db_.prepare(kDeleteStamp));
        fresh(*s.deleteStamp).bindText(1, prepared.fileID).run();
      }
    } catch (const db::Error& error) {
      // Without its stamp the file is only read again next time.
      if (error.isBusyOrLocked()) throw;
    }
  };

  std::optional<std::string> storedHash;
  std::optional<FileStamp> storedStamp;
  if (stored) {
    if (auto it = stored->find(prepared.fileID); it != stored->end()) {
      storedHash = it->second.contentHash;
      storedStamp = it->second.stamp;
    }
  } else {
    storedHash = storedContentHash(prepared.fileID);
  }
  if (storedHash == prepared.contentHash) {
    // Unchanged content in a file that was touched, or whose stamp had not settled: only its
    // stamp is brought up to date, so that the next run need not read it.
    if (prepared.stamp && storedStamp != prepared.stamp &&
        settled(*prepared.stamp, options_.settledAfter)) {
      keepStamp(false);
    }
    return {0, 0, true};
  }
  if (!prepared.parsed) {
    const auto language = languageForExtension(extensionOf(prepared.file.filename().string()));
    prepared.parsed = parser_(prepared.text, language ? *language : "unknown");
  }
  const ParsedFile& parsed = *prepared.parsed;
  const std::string& fileID = prepared.fileID;
  const std::string& relativePath = prepared.relativePath;
  const auto language = languageForExtension(extensionOf(prepared.file.filename().string()));
  const std::string now = platform::currentTimestampText();
  const std::string& rootPath = prepared.root;

  // All of a file's rows or none: a file whose new hash is stored always has its new symbols
  // and edges, so an interrupted run never leaves a file that later runs skip as unchanged.
  db::Savepoint savepoint(db_, "ingest_file");
  fresh(s.upsertFile)
      .bindText(1, fileID)
      .bindText(2, rootPath)
      .bindText(3, relativePath)
      .bind(4, db::optionalText(language))
      .bindText(5, *prepared.contentHash)
      .bindText(6, now)
      .run();
  fresh(s.deleteSymbols).bindText(1, fileID).run();
  fresh(s.deleteEdges).bindText(1, fileID).run();

  auto insertSymbol = [&](const std::string& name, std::string_view kind, std::int64_t lineStart,
                          std::int64_t lineEnd, const db::Value& signature) {
    fresh(s.insertSymbol)
        .bindText(1, fileID)
        .bindText(2, name)
        .bindText(3, kind)
        .bindInt(4, lineStart)
        .bindInt(5, lineEnd)
        .bind(6, signature)
        .run();
  };
  auto insertEdge = [&](db::Statement& stmt, const std::string& from, const std::string& to,
                        std::string_view type) {
    fresh(stmt).bindText(1, from).bindText(2, to).bindText(3, type).bindText(4, fileID).run();
  };

  // A name declared twice always resolves to its first declaration.
  std::vector<const ParsedFile::TypeDeclaration*> firstDeclarations;
  std::unordered_set<std::string> declaredNames;
  for (const auto& type : parsed.typeDeclarations) {
    insertSymbol(type.name, toString(type.kind), type.lineStart, type.lineEnd,
                 db::optionalText(type.signature));
    if (declaredNames.insert(type.name).second) firstDeclarations.push_back(&type);
  }

  std::int64_t edges = 0;
  for (const auto& function : parsed.functions) {
    insertSymbol(function.name, "function", function.lineStart, function.lineEnd,
                 db::text(function.signature));
    for (const auto* type : firstDeclarations) {
      if (type->lineStart <= function.lineStart && function.lineStart <= type->lineEnd) {
        insertEdge(s.insertEdge, type->name, function.name, "contains");
        ++edges;
        break;
      }
    }
  }
  for (const auto& inheritance : parsed.inheritances) {
    insertEdge(s.insertEdge, inheritance.typeName, inheritance.parentName, "inherits");
    ++edges;
  }
  for (const auto& conformance : parsed.conformances) {
    insertEdge(s.insertEdge, conformance.typeName, conformance.protocolName, "conforms_to");
    ++edges;
  }
  for (const auto& import : parsed.imports) {
    insertEdge(s.insertEdge, relativePath, import, "imports");
    ++edges;
  }
  std::unordered_set<std::string> callees;
  for (const auto& call : parsed.calls) {
    if (!callees.insert(call.calleeName).second) continue;
    insertEdge(s.insertEdgeOrIgnore, relativePath, call.calleeName, "calls");
    ++edges;
  }
  keepStamp(true);
  if (bumpGeneration) raiseGeneration(rootPath);
  savepoint.commit();

  const auto symbols =
      static_cast<std::int64_t>(parsed.typeDeclarations.size() + parsed.functions.size());
  return {symbols, edges, false};
}

FileIngestion CodeIngestionService::ingestFile(const std::filesystem::path& file,
                                               const std::filesystem::path& root) {
  const std::string rootPath = root.string();
  // Asked for the one file, the stored hash decides before anything is parsed.
  std::unordered_map<std::string, StoredFile> stored;
  if (auto relative = relativePathOf(file.string(), rootPath)) {
    const std::string id = fileIDOf(rootPath, *relative);
    stored.emplace(id, StoredFile{storedContentHash(id), std::nullopt});
  }
  Prepared prepared = prepareFile(file, rootPath, &stored);
  return writePrepared(prepared, &stored, true);
}

unsigned CodeIngestionService::parseThreads(std::size_t files) const {
  unsigned threads = options_.parseThreads;
  if (threads == 0) {
    threads = std::min(kMaxParseThreads, std::max(1u, std::thread::hardware_concurrency()));
  }
  // A handful of files costs less than starting threads for them.
  if (files < 64) threads = 1;
  return threads;
}

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

  std::unordered_map<std::string, std::string> fileByKey;
  filesStmt.bindText(1, project);
  while (filesStmt.step()) {
    auto idValue = filesStmt.column(0);
    auto pathValue = filesStmt.column(1);
    auto id = db::textOf(idValue);
    auto path = db::textOf(pathValue);
    if (!id || !path) continue;
    fileByKey[stemOf(*path)] = *id;
    std::string flattened = *path;
    for (char& c : flattened) {
      if (c == '/') c = '_';
    }
    fileByKey[flattened] = *id;
  }

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
  if (!fileByKey.empty()) {
    for (const auto& edge : imports) {
      auto target = fileByKey.find(stemOf(edge.to));
      if (target == fileByKey.end() || target->second == edge.fileID) continue;
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

void CodeIngestionService::linkMemoriesToCodeFiles(const std::string& project) {
  auto select = db_.prepare(kSelectMemoriesNamingPaths);
  // Each trailing part of a path at a "/" boundary, with the files it ends; the whole path
  // names its file only when a context path equals it exactly.
  struct Named {
    std::vector<std::string> bySuffix;  // files whose path ends with "/" and this text
    std::vector<std::string> byWhole;   // files whose path is this text
  };
  std::unordered_map<std::string, Named> paths;
  std::vector<std::pair<std::string, std::string>> matches;
  try {
    auto files = db_.prepare(kSelectFileKeys);
    files.bindText(1, project);
    while (files.step()) {
      auto idValue = files.column(0);
      auto pathValue = files.column(1);
      auto id = db::textOf(idValue);
      auto path = db::textOf(pathValue);
      if (!id || !path || path->empty()) continue;
      paths[*path].byWhole.push_back(*id);
      for (auto slash = path->find('/'); slash != std::string::npos;
           slash = path->find('/', slash + 1)) {
        if (slash + 1 < path->size()) paths[path->substr(slash + 1)].bySuffix.push_back(*id);
      }
    }
    if (paths.empty()) return;
    std::vector<std::string> keys;
    keys.reserve(paths.size());
    for (const auto& [path, named] : paths) keys.push_back(path);
    select.bindText(1, sqlJsonArray(keys));
    std::unordered_set<std::string> seen;
    while (select.step()) {
      auto pathValue = select.column(0);
      auto memoryValue = select.column(1);
      auto contextValue = select.column(2);
      auto path = db::textOf(pathValue);
      auto memory = db::textOf(memoryValue);
      auto context = db::textOf(contextValue);
      if (!path || !memory || !context) continue;
      auto named = paths.find(*path);
      if (named == paths.end()) continue;
      auto add = [&](const std::string& file) {
        std::string key = *memory;
        key.push_back('\0');
        key += file;
        if (seen.insert(std::move(key)).second) matches.emplace_back(*memory, file);
      };
      for (const auto& file : named->second.bySuffix) add(file);
      if (*context == *path) {
        for (const auto& file : named->second.byWhole) add(file);
      }
    }
  } catch (const db::Error&) {
    return;  // like a refused link, a failed match costs the links and nothing else
  }
  if (matches.empty()) return;
  // In key order the inserts walk the link indexes from one page to the next instead of
  // jumping across a table that holds every link of every memory.
  std::sort(matches.begin(), matches.end());
  const std::string now = platform::currentTimestampText();
  auto insert = db_.prepare(kInsertMemoryLink);
  db::Savepoint savepoint(db_, "link_memories");
  for (const auto& [memory, file] : matches) {
    try {
      fresh(insert).bindText(1, memory).bindText(2, "code:" + file).bindText(3, now).run();
    } catch (const db::Error&) {
      // A refused link is passed over.
    }
  }
  savepoint.commit();
}

namespace {

// Files prepared by worker threads, handed to the writer in discovery order. Workers run at
// most a window ahead of the writer, so a large tree never holds all its parses at once.
class PreparedFiles {
 public:
  using Prepare = std::function<CodeIngestionService::Prepared(std::size_t)>;

  PreparedFiles(std::size_t count, unsigned threads, Prepare prepare)
      : slots_(count), prepare_(std::move(prepare)) {
    for (unsigned i = 0; i < threads; ++i) workers_.emplace_back([this] { work(); });
  }
  ~PreparedFiles() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
  }
  PreparedFiles(const PreparedFiles&) = delete;
  PreparedFiles& operator=(const PreparedFiles&) = delete;

  // Waits for file `index`, taken in order from 0.
  CodeIngestionService::Prepared take(std::size_t index) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return slots_[index].has_value(); });
    CodeIngestionService::Prepared prepared = std::move(*slots_[index]);
    slots_[index].reset();
    taken_ = index + 1;
    lock.unlock();
    changed_.notify_all();
    return prepared;
  }

 private:
  static constexpr std::size_t kWindow = 256;

  void work() {
    for (;;) {
      std::size_t index = 0;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || next_ < taken_ + kWindow; });
        if (stopped_ || next_ >= slots_.size()) return;
        index = next_++;
      }
      auto prepared = prepare_(index);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        slots_[index] = std::move(prepared);
      }
      changed_.notify_all();
    }
  }

  std::vector<std::optional<CodeIngestionService::Prepared>> slots_;
  Prepare prepare_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t next_ = 0;
  std::size_t taken_ = 0;
  bool stopped_ = false;
  std::vector<std::thread> workers_;
};

// Stores what the run leaves for the context and the next run: the summary `known` as it was
// found valid (its figures kept) or a fresh one (figures computed now), with the fragility
// inputs the scores were computed from (nothing when they were not). The figures and the
// counter they are stamped with are read in one transaction with the write, so another
// writer's rows can never be described by a counter they raised. A failure costs only the
// summary: the next run and the context compute what it would have said.
void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid,
                  db::Connection& db) {
  if (knownValid && known.fragilityInputs == inputs) return;
  try {
    db::Savepoint savepoint(db, "code_summary");
    auto generation = codeGeneration(project, db);
    if (!generation) return;
    StoredCodeSummary stored = known;
    if (!knownValid) stored.summary = computeCodeSummary(project, db);
    stored.generation = *generation;
    stored.fragilityInputs = inputs;
    storeCodeSummary(project, stored, db);
    savepoint.commit();
  } catch (const db::Error&) {
    // Left for the next run to compute.
  }
}

}  // namespace

IngestionResult CodeIngestionService::ingest(std::string_view projectPath) {
  const std::string project = normaliseProjectPath(projectPath);
  std::error_code ec;
  if (project.empty() || !std::filesystem::is_directory(project, ec)) {
    throw IngestionError("project directory not found: " + std::string(projectPath));
  }

  if (auto refusal = wholeTreeRefusal(project)) throw IngestionError(*refusal);

  RunSettings settings(db_);
  IngestionResult result;
  result.project = project;
  const std::filesystem::path root(project);
  const auto files = discoverSourceFiles(root, maxSourceFiles_);
  if (files.size() > maxSourceFiles_) {
    throw IngestionError("more than " + groupedDecimal(maxSourceFiles_) + " source files below " +
                         project + "; ingestion stopped before writing anything (name a "
                         "project's own directory)");
  }
  result.filesDiscovered = static_cast<std::int64_t>(files.size());

  std::vector<std::string> fileIDs(files.size());  // empty for a file not below the root
  for (std::size_t index = 0; index < files.size(); ++index) {
    if (auto relative = relativePathOf(files[index].string(), project)) {
      fileIDs[index] = fileIDOf(project, *relative);
    }
  }
  const auto stored = readStoredFiles(fileIDs);
  const auto* storedFiles = stored ? &*stored : nullptr;

  // Files whose stamp still matches are passed over here, one look each, so that a run with
  // little to read hands the threads only what they must read and parse.
  std::vector<bool> unchanged(files.size(), false);
  std::vector<std::size_t> toRead;
  for (std::size_t index = 0; index < files.size(); ++index) {
    if (storedFiles && !fileIDs[index].empty()) {
      auto known = storedFiles->find(fileIDs[index]);
      if (known != storedFiles->end() && known->second.stamp) {
        if (auto stamp = peekStamp(files[index].string());
            stamp && *stamp == *known->second.stamp) {
          unchanged[index] = true;
          continue;
        }
      }
    }
    toRead.push_back(index);
  }

  const unsigned threads = parseThreads(toRead.size());
  std::optional<PreparedFiles> pipeline;
  if (threads > 1) {
    pipeline.emplace(toRead.size(), threads, [&](std::size_t position) {
      return prepareFile(files[toRead[position]], project, storedFiles);
    });
  }

  // Files are committed in batches so that a large tree costs a few syncs instead of one per
  // file; each file still has its own savepoint inside the batch, so a failing file takes back
  // only its own rows, and a run cut short loses only the files of its open batch, which the
  // next run parses again. Short batches keep other writers from waiting long for the lock.
  // A batch opens only for a file that has something to write.
  std::optional<db::Savepoint> batch;
  bool batchWrote = false;
  auto batchStarted = std::chrono::steady_clock::now();
  std::size_t taken = 0;
  for (std::size_t index = 0; index < files.size(); ++index) {
    if (unchanged[index]) {
      ++result.filesSkipped;
      continue;
    }
    Prepared prepared =
        pipeline ? pipeline->take(taken) : prepareFile(files[index], project, storedFiles);
    ++taken;
    const auto& file = files[index];
    try {
      if (!batch && !prepared.error && !prepared.unchangedStamp) {
        batch.emplace(db_, "ingest_batch");
        batchStarted = std::chrono::steady_clock::now();
      }
      // The batch raises the counter once, in its own transaction, for all its files.
      auto outcome = writePrepared(prepared, storedFiles, false);
      if (outcome.skipped) {
        ++result.filesSkipped;
      } else {
        batchWrote = true;
        ++result.filesParsed;
        result.symbolsExtracted += outcome.symbols;
        result.edgesCreated += outcome.edges;
      }
    } catch (const db::Error& error) {
      // Another writer holds the database: every later file would wait out the busy timeout
      // in turn, so the run ends here and the open batch is rolled back.
      if (error.isBusyOrLocked()) throw;
      result.errors.push_back(file.filename().string() + ": " + error.what());
    } catch (const std::exception& error) {
      result.errors.push_back(file.filename().string() + ": " + error.what());
    }
    if (batch && std::chrono::steady_clock::now() - batchStarted > kBatchDuration) {
      if (batchWrote) raiseGeneration(project);
      batchWrote = false;
      batch->commit();
      batch.reset();
    }
  }
  if (batch) {
    if (batchWrote) raiseGeneration(project);
    batch->commit();
  }
  pipeline.reset();

  // While no code row of the project changed since the last run stored its summary, the
  // references its imports give are those it derived, and their count is the one it stored.
  auto summary = readStoredCodeSummary(project, db_);
  const bool summaryValid = summary && summary->referenceAttempts;
  if (summaryValid) {
    result.edgesCreated += *summary->referenceAttempts;
  } else {
    summary.reset();
    const std::int64_t references = linkImportReferences(project);
    result.edgesCreated += references;
    StoredCodeSummary fresh;
    fresh.referenceAttempts = references;
    summary = std::move(fresh);
  }
  linkMemoriesToCodeFiles(project);

  // Scores follow from the code rows and the inputs in the digest; equal inputs give the
  // scores already stored.
  std::optional<std::string> inputs;
  try {
    inputs = fragilityInputs(project, db_);
  } catch (const db::Error&) {
    inputs.reset();
  }
  const bool scoresCurrent = summaryValid && inputs && summary->fragilityInputs == inputs;
  if (!scoresCurrent) {
    try {
      recomputeFragilityScores(project, db_);
    } catch (const std::exception&) {
      // Old or absent scores are still a successful run.
      inputs.reset();
    }
  }
  storeSummary(project, *summary, inputs, summaryValid, db_);
  return result;
}

}  // namespace nodrel::codeintel
