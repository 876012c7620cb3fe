#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "codeintel/code_summary.h"
#include "codeintel/fragility.h"
#include "codeintel/ingestion.h"
#include "codeintel/ingestion_run_settings.h"
#include "codeintel/prepared_file.h"
#include "codeintel/prepared_files.h"
#include "codeintel/run_summary.h"
#include "codeintel/source_file.h"
#include "codeintel/source_parser.h"
#include "db/error.h"
#include "db/savepoint.h"
#include "platform/paths.h"

namespace nodrel::codeintel {
namespace {

constexpr auto kBatchDuration = std::chrono::milliseconds(500);
// A writer that meets our lock polls for it every millisecond or so; a run that commits and at
// once begins its next batch would take the lock back before a loaded machine wakes that writer,
// and starve it until its timeout. The pause is a small share of a batch.
constexpr auto kPauseForWaitingWriters = std::chrono::milliseconds(5);
// Files written under one savepoint. A group's files are kept until it is released, to be
// written again should one of them fail, so the bound keeps their parses few.
constexpr std::size_t kFilesPerGroup = 256;
// 200000 as "200,000".
std::string groupedDecimal(std::size_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}
}  // namespace

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

unsigned CodeIngestionService::parseThreads(std::size_t files) const {
  unsigned threads = options_.parseThreads;
  if (threads == 0) {
    threads = std::min(kMaxParseThreads, std::max(1u, std::thread::hardware_concurrency()));
  }
  // A handful of files costs less than starting threads for them.
  if (files < 64) threads = 1;
  return threads;
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
                         project +
                         "; ingestion stopped before writing anything (name a "
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
      const std::size_t index = toRead[position];
      return prepareFile(files[index], project, fileIDs[index], storedFiles);
    });
  }

  // Files are committed in batches so that a large tree costs a few syncs instead of one per
  // file; a run cut short loses only the files of its open batch, which the next run parses
  // again. Short batches keep other writers from waiting long for the lock. A batch opens only
  // for a file that has something to write.
  //
  // Inside a batch, files are written in groups under one savepoint each: a savepoint per file
  // made SQLite copy every page a file first touched into its statement journal. A file that
  // fails takes the group back, and the group's files are then written again one by one, each
  // under its own savepoint, so that only the failing file's rows are missing.
  std::optional<db::Savepoint> batch;
  bool batchWrote = false;
  auto batchStarted = std::chrono::steady_clock::now();
  std::optional<db::Savepoint> group;
  // The open group's files, in order, with what each gave, counted once the group is released.
  struct GroupedFile {
    Prepared prepared;
    FileIngestion outcome;
    std::optional<std::string> error;
  };
  std::vector<GroupedFile> grouped;

  auto errorLine = [](const Prepared& prepared, const char* what) {
    return prepared.file.filename().string() + ": " + what;
  };
  auto count = [&](const FileIngestion& outcome) {
    if (outcome.skipped) {
      ++result.filesSkipped;
    } else {
      batchWrote = true;
      ++result.filesParsed;
      result.symbolsExtracted += outcome.symbols;
      result.edgesCreated += outcome.edges;
    }
  };
  // One file written under its own savepoint; its failure is one line of `errors`.
  auto writeAlone = [&](Prepared& prepared) {
    try {
      count(writePrepared(prepared, storedFiles, {}));
    } catch (const db::Error& error) {
      // Another writer holds the database: every later file would wait out the busy timeout
      // in turn, so the run ends here and the open batch is rolled back.
      if (error.isBusyOrLocked()) throw;
      result.errors.push_back(errorLine(prepared, error.what()));
    } catch (const std::exception& error) {
      result.errors.push_back(errorLine(prepared, error.what()));
    }
  };
  auto releaseGroup = [&] {
    if (!group) return;
    group->commit();
    group.reset();
    for (const auto& file : grouped) {
      if (file.error) {
        result.errors.push_back(*file.error);
      } else {
        count(file.outcome);
      }
    }
    grouped.clear();
  };
  // Takes back the group's rows and writes its files again one by one.
  auto replayGroup = [&] {
    group.reset();
    for (auto& file : grouped) writeAlone(file.prepared);
    grouped.clear();
  };

  std::size_t taken = 0;
  for (std::size_t index = 0; index < files.size(); ++index) {
    if (unchanged[index]) {
      ++result.filesSkipped;
      continue;
    }
    Prepared prepared = pipeline ? pipeline->take(taken)
                                 : prepareFile(files[index], project, fileIDs[index], storedFiles);
    ++taken;
    const bool writes = !prepared.error && !prepared.unchangedStamp;
    if (!batch && writes) {
      // Each batch is a write of its own, with the whole busy timeout to get the lock: a long
      // run beside another writer must not fail because its first wait was long ago.
      db_.beginCall();
      batch.emplace(db_, "ingest_batch");
      batchStarted = std::chrono::steady_clock::now();
    }
    if (!group && writes) group.emplace(db_, "ingest_group");
    if (!group) {
      writeAlone(prepared);
    } else {
      auto& file = grouped.emplace_back(GroupedFile{std::move(prepared), {}, std::nullopt});
      if (file.prepared.error) {
        // Failed before writing anything: the group's rows stand.
        file.error = errorLine(file.prepared, file.prepared.error->c_str());
      } else {
        try {
          file.outcome = writePrepared(file.prepared, storedFiles, {.ownSavepoint = false});
        } catch (const db::Error& error) {
          if (error.isBusyOrLocked()) throw;
          replayGroup();
        } catch (const std::exception&) {
          replayGroup();
        }
      }
      if (grouped.size() >= kFilesPerGroup) releaseGroup();
    }
    if (batch && std::chrono::steady_clock::now() - batchStarted > kBatchDuration) {
      releaseGroup();
      if (batchWrote) raiseGeneration(project);
      batchWrote = false;
      batch->commit();
      batch.reset();
      std::this_thread::sleep_for(kPauseForWaitingWriters);
    }
  }
  releaseGroup();
  if (batch) {
    if (batchWrote) raiseGeneration(project);
    batch->commit();
    std::this_thread::sleep_for(kPauseForWaitingWriters);
  }
  // The steps after the files are writes of their own as well.
  db_.beginCall();
  pipeline.reset();

  // Files deleted, moved or now inside a skipped folder take their rows with them. A root
  // that cannot be listed found nothing, and that proves no file gone.
  std::error_code listed;
  std::filesystem::directory_iterator probe(root, listed);
  if (!listed) {
    std::unordered_set<std::string> present;
    for (const auto& id : fileIDs) {
      if (!id.empty()) present.insert(id);
    }
    removeVanishedFiles(project, present);
    db_.beginCall();
  }

  // While no code row of the project changed since the last run stored its summary, the
  // references its imports give are those it derived, and their count is the one it stored.
  auto summary = readStoredCodeSummary(project, db_);
  const bool summaryValid = summary && summary->referenceAttempts;
  if (summaryValid) {
    result.edgesCreated += *summary->referenceAttempts;
  } else {
    summary.reset();
    const std::int64_t references = linkImportReferences(project);
    db_.beginCall();
    result.edgesCreated += references;
    StoredCodeSummary fresh;
    fresh.referenceAttempts = references;
    summary = std::move(fresh);
  }
  linkMemoriesToCodeFiles(project);
  db_.beginCall();

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
  db_.beginCall();
  storeSummary(project, *summary, inputs, summaryValid, db_);
  return result;
}

}  // namespace nodrel::codeintel
