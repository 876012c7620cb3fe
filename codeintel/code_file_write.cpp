// codeintel/code_file_write.cpp: one file's part of a run: its stored row and stamp, reading
// and parsing it, and writing its file row, symbols and edges in one savepoint.
#include "codeintel/code_ingestion_service.h"

#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/code_generation.h"
#include "codeintel/ingestion.h"
#include "codeintel/prepared_file.h"
#include "codeintel/source_file.h"
#include "codeintel/source_parser.h"
#include "db/error.h"
#include "db/json_array.h"
#include "db/savepoint.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectContentHash = "SELECT content_hash FROM code_files WHERE id = ?";

constexpr std::string_view kUpsertFile =
    R"sql(INSERT INTO code_files (id, project, relative_path, language, content_hash, last_parsed)
VALUES (?, ?, ?, ?, ?, ?)
ON CONFLICT(id) DO UPDATE SET
    content_hash = excluded.content_hash,
    last_parsed  = excluded.last_parsed)sql";

constexpr std::string_view kDeleteSymbols = "DELETE FROM code_symbols WHERE file_id = ?";
constexpr std::string_view kDeleteEdges = "DELETE FROM code_edges WHERE file_id = ?";

constexpr std::string_view kInsertSymbol =
    R"sql(INSERT INTO code_symbols (file_id, name, kind, line_start, line_end, signature)
VALUES (?, ?, ?, ?, ?, ?))sql";

constexpr std::string_view kInsertEdge =
    R"sql(INSERT INTO code_edges (from_symbol, to_symbol, edge_type, file_id)
VALUES (?, ?, ?, ?))sql";

// What the last runs stored of the discovered files: the content hash, and the stamp of the
// file as it was when that content was read.
constexpr std::string_view kSelectStoredFiles =
    R"sql(SELECT f.value, cf.content_hash, st.size, st.modified_ns, st.changed_ns, st.inode,
       st.content_hash
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value
LEFT JOIN code_file_stamps st ON st.file_id = cf.id)sql";

// The same without stamps, for a database made before they were kept.
constexpr std::string_view kSelectStoredHashes = R"sql(SELECT f.value, cf.content_hash
FROM json_each(?) f
CROSS JOIN code_files cf ON cf.id = f.value)sql";

constexpr std::string_view kUpsertStamp =
    R"sql(INSERT OR REPLACE INTO code_file_stamps (file_id, size, modified_ns, changed_ns, inode, content_hash)
VALUES (?, ?, ?, ?, ?, ?))sql";

constexpr std::string_view kDeleteStamp = "DELETE FROM code_file_stamps WHERE file_id = ?";

std::string extensionOf(const std::string& name) {
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size()) return {};
  return name.substr(dot + 1);
}

db::Statement& fresh(db::Statement& stmt) {
  stmt.reset();
  return stmt;
}

}  // namespace

struct CodeIngestionService::Statements {
  explicit Statements(db::Connection& db)
      : contentHash(db.prepare(kSelectContentHash)),
        upsertFile(db.prepare(kUpsertFile)),
        deleteSymbols(db.prepare(kDeleteSymbols)),
        deleteEdges(db.prepare(kDeleteEdges)),
        insertSymbol(db.prepare(kInsertSymbol)),
        insertEdge(db.prepare(kInsertEdge)) {}

  db::Statement contentHash;
  db::Statement upsertFile;
  db::Statement deleteSymbols;
  db::Statement deleteEdges;
  db::Statement insertSymbol;
  db::Statement insertEdge;
  // Prepared on first use; nothing when the database keeps no stamps.
  std::optional<db::Statement> upsertStamp;
  std::optional<db::Statement> deleteStamp;
};

CodeIngestionService::CodeIngestionService(db::Connection& db, SourceParser parser,
                                           std::size_t maxSourceFiles, IngestionOptions options)
    : db_(db),
      parser_(parser ? std::move(parser) : SourceParser(parseSourceFile)),
      maxSourceFiles_(maxSourceFiles),
      options_(options),
      writeQueue_(std::string(kIngestionQueueLabel)) {}

// Here, where the statements are a complete type.
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
  const std::string ids = db::sqlJsonArray(fileIDs);
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
    const std::filesystem::path& file, const std::string& root, std::string fileID,
    const std::unordered_map<std::string, StoredFile>* stored) const {
  Prepared prepared;
  prepared.file = file;
  prepared.root = root;
  try {
    auto relative = relativePathOf(file.string(), root);
    if (!relative) throw IngestionError("not below the project directory");
    prepared.relativePath = std::move(*relative);
    prepared.fileID = fileID.empty() ? fileIDOf(root, prepared.relativePath) : std::move(fileID);
    prepared.language = languageForExtension(extensionOf(file.filename().string()));
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
      prepared.parsed = parser_(read.text, prepared.language ? *prepared.language : "unknown");
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
    Prepared& prepared, const std::unordered_map<std::string, StoredFile>* stored, WriteMode mode) {
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
    prepared.parsed = parser_(prepared.text, prepared.language ? *prepared.language : "unknown");
  }
  const ParsedFile& parsed = *prepared.parsed;
  const std::string& fileID = prepared.fileID;
  const std::string& relativePath = prepared.relativePath;
  const std::string now = platform::currentTimestampText();
  const std::string& rootPath = prepared.root;

  // All of a file's rows or none: a file whose new hash is stored always has its new symbols
  // and edges, so an interrupted run never leaves a file that later runs skip as unchanged.
  // Inside a group the group's savepoint stands for the file's own.
  std::optional<db::Savepoint> savepoint;
  if (mode.ownSavepoint) savepoint.emplace(db_, "ingest_file");
  auto& upsert =
      fresh(s.upsertFile).bindText(1, fileID).bindText(2, rootPath).bindText(3, relativePath);
  if (prepared.language) {
    upsert.bindText(4, *prepared.language);
  } else {
    upsert.bindNull(4);
  }
  upsert.bindText(5, *prepared.contentHash).bindText(6, now).run();
  fresh(s.deleteSymbols).bindText(1, fileID).run();
  fresh(s.deleteEdges).bindText(1, fileID).run();

  auto insertSymbol = [&](const std::string& name, std::string_view kind, std::int64_t lineStart,
                          std::int64_t lineEnd, const std::string* signature) {
    auto& stmt = fresh(s.insertSymbol)
                     .bindTextView(1, fileID)
                     .bindTextView(2, name)
                     .bindTextView(3, kind)
                     .bindInt(4, lineStart)
                     .bindInt(5, lineEnd);
    if (signature) {
      stmt.bindTextView(6, *signature);
    } else {
      stmt.bindNull(6);
    }
    stmt.run();
    stmt.reset();  // lets go of the texts bound in place
  };
  auto insertEdge = [&](db::Statement& stmt, const std::string& from, const std::string& to,
                        std::string_view type) {
    fresh(stmt)
        .bindTextView(1, from)
        .bindTextView(2, to)
        .bindTextView(3, type)
        .bindTextView(4, fileID)
        .run();
    stmt.reset();
  };

  // A name declared twice always resolves to its first declaration.
  std::vector<const ParsedFile::TypeDeclaration*> firstDeclarations;
  std::unordered_set<std::string_view> declaredNames;
  for (const auto& type : parsed.typeDeclarations) {
    insertSymbol(type.name, toString(type.kind), type.lineStart, type.lineEnd,
                 type.signature ? &*type.signature : nullptr);
    if (declaredNames.insert(type.name).second) firstDeclarations.push_back(&type);
  }

  std::int64_t edges = 0;
  for (const auto& function : parsed.functions) {
    insertSymbol(function.name, "function", function.lineStart, function.lineEnd,
                 &function.signature);
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
  keepStamp(true);
  if (mode.bumpGeneration) raiseGeneration(rootPath);
  if (savepoint) savepoint->commit();

  const auto symbols =
      static_cast<std::int64_t>(parsed.typeDeclarations.size() + parsed.functions.size());
  return {symbols, edges, false};
}

FileIngestion CodeIngestionService::ingestFile(const std::filesystem::path& file,
                                               const std::filesystem::path& root) {
  const std::string rootPath = root.string();
  // Asked for the one file, the stored hash decides before anything is parsed.
  std::unordered_map<std::string, StoredFile> stored;
  std::string id;
  if (auto relative = relativePathOf(file.string(), rootPath)) {
    id = fileIDOf(rootPath, *relative);
    stored.emplace(id, StoredFile{storedContentHash(id), std::nullopt});
  }
  Prepared prepared = prepareFile(file, rootPath, id, &stored);
  return writePrepared(prepared, &stored, {.ownSavepoint = true, .bumpGeneration = true});
}

}  // namespace nodrel::codeintel
