// codeintel/code_ingestion_service.h: one ingestion run over a project directory, writing
// `code_files`, `code_symbols` and `code_edges`, linking memories to the files they name and
// recomputing fragility. A service lives for one run; callers enter it through writeQueue().
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "codeintel/ingestion.h"
#include "codeintel/parsed_file.h"
#include "codeintel/serial_queue.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// A run that cannot start (the project directory is missing or is no directory), or one file
// that cannot be read (then caught by the run and listed in `errors`).
class IngestionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Parses one file's text for a language name; parseSourceFile unless a test substitutes one.
using SourceParser = std::function<ParsedFile(std::string_view content, std::string_view language)>;

struct FileIngestion {
  std::int64_t symbols = 0;
  std::int64_t edges = 0;
  bool skipped = false;
  friend bool operator==(const FileIngestion&, const FileIngestion&) = default;
};

// Why a directory is no project to ingest, or nothing: the filesystem root and the user's home
// directory itself hold other users' files or every checkout at once, and would keep the
// caller busy for minutes.
std::optional<std::string> wholeTreeRefusal(std::string_view projectPath);

inline constexpr std::string_view kIngestionQueueLabel = "com.tarvomen.nodrel.ingestion-write";

class CodeIngestionService {
 public:
  // Keeps a reference to the caller's connection, which must outlive the service.
  // `maxSourceFiles` bounds a run's discovery (kMaxSourceFiles unless a test lowers it).
  explicit CodeIngestionService(db::Connection& db, SourceParser parser = {},
                                std::size_t maxSourceFiles = kMaxSourceFiles);
  ~CodeIngestionService();
  CodeIngestionService(const CodeIngestionService&) = delete;
  CodeIngestionService& operator=(const CodeIngestionService&) = delete;

  SerialQueue& writeQueue() { return writeQueue_; }

  // One whole run. The project path is normalised first (normaliseProjectPath) and that text
  // is stored, compared and returned as the result's `project`. Throws IngestionError
  // "project directory not found: <path>" when it names no directory, refuses the filesystem
  // root and the user's home directory itself, and stops with IngestionError, having written
  // nothing, when discovery finds more than the file bound; throws db::Error when import or
  // memory linking fails. A failure of one file only adds a line to `errors`.
  IngestionResult ingest(std::string_view projectPath);

  // One file below `root` (a normalised project path). Writes the file row, its symbols and
  // edges in one transaction, or nothing when its content hash is unchanged. Throws
  // IngestionError (unreadable, not a regular file, above 2 MiB, not UTF-8) or db::Error.
  FileIngestion ingestFile(const std::filesystem::path& file, const std::filesystem::path& root);

  // The stored content hash of a code file, or nothing. Throws db::Error.
  std::optional<std::string> storedContentHash(const std::string& fileID);

  // Rewrites the project's "references" edges from its "imports" edges; returns the number of
  // insertions attempted. Throws db::Error when the edges or files cannot be read.
  std::int64_t linkImportReferences(const std::string& project);

  // Links every memory whose context path is a file's relative path, or a trailing part of it
  // at a "/" boundary, to that file. Throws db::Error when the query cannot be prepared.
  void linkMemoriesToCodeFiles(const std::string& project);

 private:
  struct Statements;
  Statements& statements();

  db::Connection& db_;
  SourceParser parser_;
  std::size_t maxSourceFiles_;
  SerialQueue writeQueue_;
  std::unique_ptr<Statements> statements_;
};

}  // namespace nodrel::codeintel
