// codeintel/code_ingestion_service.h: one ingestion run over a project directory, writing
// `code_files`, `code_symbols` and `code_edges`, linking memories to the files they name and
// recomputing fragility. A service lives for one run; callers enter it through writeQueue().
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "codeintel/ingestion.h"
#include "codeintel/parsed_file.h"
#include "codeintel/serial_queue.h"
#include "db/connection.h"

namespace nodrel::codeintel {

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

// Reading, hashing and parsing files may run on several threads while the caller's thread
// alone writes, in discovery order, so the rows are the same whatever the count.
struct IngestionOptions {
  // 0: one per processor, at most kMaxParseThreads; 1: everything on the caller's thread.
  unsigned parseThreads = 0;
  // A file changed this recently may change again within the same tick of the file system's
  // clock without its size, times or inode showing it, so its stamp is not kept and the next
  // run reads it again (git calls such entries "racily clean").
  std::chrono::nanoseconds settledAfter = std::chrono::seconds(2);
};
inline constexpr unsigned kMaxParseThreads = 4;

// What deriving a project's references did: the insertions it attempted, and the project's
// code counter once they were written (nothing in a store that keeps no counters).
struct ReferenceLinks {
  std::int64_t attempts = 0;
  std::optional<std::int64_t> generation;
};

class CodeIngestionService {
 public:
  // Keeps a reference to the caller's connection, which must outlive the service.
  // `maxSourceFiles` bounds a run's discovery (kMaxSourceFiles unless a test lowers it).
  explicit CodeIngestionService(db::Connection& db, SourceParser parser = {},
                                std::size_t maxSourceFiles = kMaxSourceFiles,
                                IngestionOptions options = {});
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
  // A file whose size, times and inode are those stamped when its stored content was read is
  // counted as skipped without being read. When no code row of the project changed since the
  // last run, its references are not derived again (their count comes from that run), and
  // its fragility scores are recomputed only when their inputs changed. The run ends by
  // storing the project's code summary (code_summary.h).
  IngestionResult ingest(std::string_view projectPath);

  // One file below `root` (a normalised project path). Writes the file row, its symbols and
  // edges in one transaction, or nothing when its content hash is unchanged. Throws
  // IngestionError (unreadable, not a regular file, above 2 MiB, not UTF-8) or db::Error.
  FileIngestion ingestFile(const std::filesystem::path& file, const std::filesystem::path& root);

  // The stored content hash of a code file, or nothing. Throws db::Error.
  std::optional<std::string> storedContentHash(const std::string& fileID);

  // Rewrites the project's "references" edges from its "imports" edges, reading and writing
  // under one write lock. Throws db::Error when the edges or files cannot be read.
  ReferenceLinks linkImportReferences(const std::string& project);

  // Removes the rows of the project's files that are not in `present` (file ids): the file,
  // its stamp, symbols and edges, and the memories' links to it. Returns how many files went.
  // Throws db::Error.
  std::int64_t removeVanishedFiles(const std::string& project,
                                   const std::unordered_set<std::string>& present);

  // Links every memory whose context path is a file's relative path, or a trailing part of it
  // at a "/" boundary (ASCII letters in any case there), to that file. The context paths are
  // looked up by index for each trailing part of each file's path. Throws db::Error when the
  // query cannot be prepared.
  void linkMemoriesToCodeFiles(const std::string& project);

  struct Prepared;  // what reading, hashing and parsing made of one file

 private:
  struct Statements;
  struct StoredFile;
  class FileBatches;
  Statements& statements();
  // `fileID`: the file's id when the caller has hashed it already, or empty.
  Prepared prepareFile(const std::filesystem::path& file, const std::string& root,
                       std::string fileID,
                       const std::unordered_map<std::string, StoredFile>* stored) const;
  struct WriteMode {
    // False inside a run's batch, whose transaction takes back the whole batch.
    bool ownSavepoint = true;
    // Raise the project's code counter with the file's rows; a run does it once per batch.
    bool bumpGeneration = false;
  };
  // Writes nothing, and returns it as skipped, when the content is unchanged; throws
  // IngestionError for a file that failed to read or parse, db::Error when a write fails.
  // Writing the same Prepared again after its rows were rolled back writes the same rows.
  FileIngestion writePrepared(Prepared& prepared,
                              const std::unordered_map<std::string, StoredFile>* stored,
                              WriteMode mode);
  void raiseGeneration(const std::string& project);
  // Drops the edges table's plain indexes when `changes` rows to insert or delete are most of
  // what the table holds; returns the statements that make them again, to run before the
  // transaction ends.
  std::vector<std::string> setAsideEdgeIndexes(std::size_t changes);
  std::optional<std::unordered_map<std::string, StoredFile>> readStoredFiles(
      const std::vector<std::string>& fileIDs);
  unsigned parseThreads(std::size_t files) const;

  db::Connection& db_;
  SourceParser parser_;
  std::size_t maxSourceFiles_;
  IngestionOptions options_;
  SerialQueue writeQueue_;
  std::unique_ptr<Statements> statements_;
  bool stampsAvailable_ = true;
  std::optional<bool> generationsAvailable_;
};

}  // namespace nodrel::codeintel
