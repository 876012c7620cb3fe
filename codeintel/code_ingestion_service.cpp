#include "codeintel/code_ingestion_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/fragility.h"
#include "codeintel/ingestion.h"
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

// A context path names a file when it is the file's relative path or a trailing part of it at
// a "/" boundary; its own "%", "_" and "\" are matched literally, and an empty one names
// nothing.
constexpr std::string_view kSelectMemoryFileMatches = R"sql(SELECT m.id, cf.id
FROM memories m
JOIN code_files cf
  ON cf.relative_path = m.context_path
  OR cf.relative_path LIKE '%/' || replace(replace(replace(m.context_path, '\', '\\'), '%', '\%'), '_', '\_') ESCAPE '\'
WHERE cf.project = ? AND m.context_path IS NOT NULL AND m.context_path != '')sql";

constexpr std::string_view kInsertMemoryLink = R"sql(INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
VALUES (?, ?, 'entity', 1.0, ?))sql";

// Closes the descriptor on every path out of the read.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The whole text of a regular file of at most kMaxSourceFileBytes. O_NONBLOCK keeps a FIFO or
// device put in the file's place from blocking the run; O_NOFOLLOW refuses a symbolic link.
std::string readSourceText(const std::filesystem::path& file) {
  FileDescriptor fd(open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
  }
  if (!S_ISREG(st.st_mode)) throw IngestionError("not a regular file");
  if (st.st_size > kMaxSourceFileBytes) {
    throw IngestionError("file too large (" + std::to_string(st.st_size) + " bytes, limit " +
                         std::to_string(kMaxSourceFileBytes) + " bytes); not parsed");
  }
  std::string text;
  text.resize(static_cast<std::size_t>(st.st_size));
  std::size_t filled = 0;
  for (;;) {
    if (filled == text.size()) text.resize(text.size() + 4096);
    ssize_t n = read(fd.get(), text.data() + filled, text.size() - filled);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw IngestionError(std::string("could not be read: ") + std::strerror(errno));
    }
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    if (filled > static_cast<std::size_t>(kMaxSourceFileBytes)) {
      throw IngestionError("file too large (more than " + std::to_string(kMaxSourceFileBytes) +
                           " bytes); not parsed");
    }
  }
  text.resize(filled);
  if (!platform::isValidUtf8(text)) throw IngestionError("not valid UTF-8 text");
  return text;
}

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

}  // namespace

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
                                           std::size_t maxSourceFiles)
    : db_(db),
      parser_(parser ? std::move(parser) : SourceParser(parseSourceFile)),
      maxSourceFiles_(maxSourceFiles),
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

FileIngestion CodeIngestionService::ingestFile(const std::filesystem::path& file,
                                               const std::filesystem::path& root) {
  const std::string text = readSourceText(file);
  const std::string contentHash = platform::sha256Hex(text);

  const std::string rootPath = root.string();
  const std::string filePath = file.string();
  const std::string prefix = rootPath.ends_with('/') ? rootPath : rootPath + "/";
  if (!filePath.starts_with(prefix) || filePath.size() == prefix.size()) {
    throw IngestionError("not below the project directory");
  }
  const std::string relativePath = filePath.substr(prefix.size());
  const std::string fileID = platform::sha256Hex(prefix + relativePath);
  const auto language = languageForExtension(extensionOf(file.filename().string()));

  if (storedContentHash(fileID) == contentHash) return {0, 0, true};

  // Parsed before the transaction opens, so the write lock is held only for the writes.
  const ParsedFile parsed = parser_(text, language ? *language : "unknown");
  const std::string now = platform::currentTimestampText();

  auto& s = statements();
  // All of a file's rows or none: a file whose new hash is stored always has its new symbols
  // and edges, so an interrupted run never leaves a file that later runs skip as unchanged.
  db::Savepoint savepoint(db_, "ingest_file");
  fresh(s.upsertFile)
      .bindText(1, fileID)
      .bindText(2, rootPath)
      .bindText(3, relativePath)
      .bind(4, db::optionalText(language))
      .bindText(5, contentHash)
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
  savepoint.commit();

  const auto symbols =
      static_cast<std::int64_t>(parsed.typeDeclarations.size() + parsed.functions.size());
  return {symbols, edges, false};
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
  savepoint.commit();
  return count;
}

void CodeIngestionService::linkMemoriesToCodeFiles(const std::string& project) {
  auto select = db_.prepare(kSelectMemoryFileMatches);
  std::vector<std::pair<std::string, std::string>> matches;
  try {
    select.bindText(1, project);
    while (select.step()) {
      auto memoryValue = select.column(0);
      auto fileValue = select.column(1);
      auto memory = db::textOf(memoryValue);
      auto file = db::textOf(fileValue);
      if (memory && file) matches.emplace_back(*memory, *file);
    }
  } catch (const db::Error&) {
    return;  // like a refused link, a failed match costs the links and nothing else
  }
  if (matches.empty()) return;
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
  // Files are committed in batches so that a large tree costs a few syncs instead of one per
  // file; each file still has its own savepoint inside the batch, so a failing file takes back
  // only its own rows, and a run cut short loses only the files of its open batch, which the
  // next run parses again. Short batches keep other writers from waiting long for the lock.
  std::optional<db::Savepoint> batch;
  auto batchStarted = std::chrono::steady_clock::now();
  for (const auto& file : files) {
    if (!batch) {
      batch.emplace(db_, "ingest_batch");
      batchStarted = std::chrono::steady_clock::now();
    }
    try {
      auto outcome = ingestFile(file, root);
      if (outcome.skipped) {
        ++result.filesSkipped;
      } else {
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
    if (std::chrono::steady_clock::now() - batchStarted > kBatchDuration) {
      batch->commit();
      batch.reset();
    }
  }
  if (batch) batch->commit();

  result.edgesCreated += linkImportReferences(project);
  linkMemoriesToCodeFiles(project);
  try {
    recomputeFragilityScores(project, db_);
  } catch (const std::exception&) {
    // Old or absent scores are still a successful run.
  }
  return result;
}

}  // namespace nodrel::codeintel
