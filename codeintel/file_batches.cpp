#include "codeintel/file_batches.h"

#include <thread>
#include <utility>

#include "db/error.h"

namespace nodrel::codeintel {
namespace {

constexpr auto kBatchDuration = std::chrono::milliseconds(500);
// A writer that meets our lock polls for it every millisecond or so; a run that commits and at
// once begins its next batch would take the lock back before a loaded machine wakes that writer,
// and starve it until its timeout. The pause is a small share of a batch.
constexpr auto kPauseForWaitingWriters = std::chrono::milliseconds(5);

std::string errorLine(const CodeIngestionService::Prepared& prepared, std::string_view what) {
  return prepared.file.filename().string() + ": " + std::string(what);
}

}  // namespace

CodeIngestionService::FileBatches::FileBatches(
    CodeIngestionService& service, IngestionResult& result, std::string project,
    const std::unordered_map<std::string, StoredFile>* stored, Prepare prepare)
    : service_(service),
      result_(result),
      project_(std::move(project)),
      stored_(stored),
      prepare_(std::move(prepare)) {}

void CodeIngestionService::FileBatches::write(Prepared prepared, std::size_t index) {
  const bool writes = !prepared.error && !prepared.unchangedStamp;
  if (!batch_ && writes) {
    // Each batch is a write of its own, with the whole busy timeout to get the lock: a long
    // run beside another writer must not fail because its first wait was long ago.
    service_.db_.beginCall();
    batch_.emplace(service_.db_, "ingest_batch");
    started_ = std::chrono::steady_clock::now();
  }
  Written written{index, {}, std::nullopt};
  if (!batch_) {
    // Nothing to write and no batch to wait for.
    writeUnder(prepared, written, true);
    if (written.error) {
      result_.errors.push_back(std::move(*written.error));
    } else {
      ++result_.filesSkipped;
    }
  } else if (prepared.error || guarded_) {
    writeUnder(prepared, written, true);
    written_.push_back(std::move(written));
  } else {
    try {
      written.outcome = service_.writePrepared(prepared, stored_, {.ownSavepoint = false});
      written_.push_back(std::move(written));
    } catch (const db::Error& error) {
      if (error.isBusyOrLocked()) throw;
      writeAgain(std::move(prepared), index);
    } catch (const std::exception&) {
      writeAgain(std::move(prepared), index);
    }
  }
  if (batch_ && std::chrono::steady_clock::now() - started_ > kBatchDuration) commit();
}

void CodeIngestionService::FileBatches::finish() {
  if (batch_) commit();
}

void CodeIngestionService::FileBatches::writeUnder(Prepared& prepared, Written& written,
                                                   bool ownSavepoint) {
  try {
    written.outcome = service_.writePrepared(prepared, stored_, {.ownSavepoint = ownSavepoint});
  } catch (const db::Error& error) {
    // Another writer holds the database: every later file would wait out the busy timeout
    // in turn, so the run ends here and the open batch is rolled back.
    if (error.isBusyOrLocked()) throw;
    written.error = errorLine(prepared, error.what());
  } catch (const std::exception& error) {
    written.error = errorLine(prepared, error.what());
  }
}

void CodeIngestionService::FileBatches::writeAgain(Prepared failing, std::size_t index) {
  std::vector<Written> before = std::move(written_);
  written_.clear();
  batch_.reset();
  service_.db_.beginCall();
  batch_.emplace(service_.db_, "ingest_batch");
  guarded_ = true;
  for (auto& file : before) {
    if (file.error) {
      // Failed before writing anything; it fails alike again.
      written_.push_back(std::move(file));
      continue;
    }
    Prepared again = prepare_(file.index);
    Written written{file.index, {}, std::nullopt};
    writeUnder(again, written, true);
    written_.push_back(std::move(written));
  }
  Written written{index, {}, std::nullopt};
  writeUnder(failing, written, true);
  written_.push_back(std::move(written));
}

void CodeIngestionService::FileBatches::commit() {
  bool wrote = false;
  for (auto& file : written_) {
    if (file.error) {
      result_.errors.push_back(std::move(*file.error));
    } else if (file.outcome.skipped) {
      ++result_.filesSkipped;
    } else {
      wrote = true;
      ++result_.filesParsed;
      result_.symbolsExtracted += file.outcome.symbols;
      result_.edgesCreated += file.outcome.edges;
    }
  }
  written_.clear();
  // The batch raises the project's code counter once, in its own transaction, for all its files.
  if (wrote) service_.raiseGeneration(project_);
  batch_->commit();
  batch_.reset();
  guarded_ = false;
  std::this_thread::sleep_for(kPauseForWaitingWriters);
}

}  // namespace nodrel::codeintel
