// codeintel/file_batches.h: the one writer of an ingestion run, which writes the prepared files
// in batches, each batch one transaction.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "codeintel/code_ingestion_service.h"
#include "codeintel/prepared_file.h"
#include "db/savepoint.h"

namespace nodrel::codeintel {

// Files are committed in batches so that a large tree costs a few syncs instead of one per
// file; a run cut short loses only the files of its open batch, which the next run parses
// again. Short batches keep other writers from waiting long for the lock. A batch opens only
// for a file that has something to write.
//
// A file's rows are written straight into the batch's transaction: a savepoint per file made
// SQLite copy every page the file first touched into a statement journal. A file that fails
// part way takes the whole batch back; the batch's files are then prepared and written again,
// each under a savepoint of its own as are the batch's later files, so that only the failing
// file's rows are missing. Counts and errors are taken when the batch commits.
class CodeIngestionService::FileBatches {
 public:
  // Prepares file `index` of the run again, for a batch written anew.
  using Prepare = std::function<Prepared(std::size_t index)>;

  FileBatches(CodeIngestionService& service, IngestionResult& result, std::string project,
              const std::unordered_map<std::string, StoredFile>* stored, Prepare prepare);
  // An open batch is rolled back.
  ~FileBatches() = default;
  FileBatches(const FileBatches&) = delete;
  FileBatches& operator=(const FileBatches&) = delete;

  // Writes file `index`, counts it or lists its error, and commits the batch when its time is
  // up. Throws db::Error when the database is busy or a batch cannot begin or commit.
  void write(Prepared prepared, std::size_t index);
  // Commits the open batch.
  void finish();

 private:
  struct Written {
    std::size_t index = 0;
    FileIngestion outcome;
    std::optional<std::string> error;  // the file's line of `errors`
  };

  void writeUnder(Prepared& prepared, Written& written, bool ownSavepoint);
  // Rolls the batch back and writes its files again, then the one that failed, `index`.
  void writeAgain(Prepared failing, std::size_t index);
  void commit();

  CodeIngestionService& service_;
  IngestionResult& result_;
  std::string project_;
  const std::unordered_map<std::string, StoredFile>* stored_;
  Prepare prepare_;
  std::optional<db::Savepoint> batch_;
  std::chrono::steady_clock::time_point started_;
  bool guarded_ = false;          // written anew: each file under its own savepoint
  std::vector<Written> written_;  // the open batch's files, in order
};

}  // namespace nodrel::codeintel
