#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <chrono>
#include <optional>
#include <thread>
#include <unordered_set>
#include <vector>

#include "codeintel/code_summary.h"
#include "codeintel/file_batches.h"
#include "codeintel/fragility.h"
#include "codeintel/ingestion.h"
#include "codeintel/ingestion_run_settings.h"
#include "codeintel/prepared_file.h"
#include "codeintel/prepared_files.h"
#include "codeintel/run_summary.h"
#include "codeintel/source_file.h"
#include "codeintel/source_parser.h"
#include "db/error.h"
#include "platform/paths.h"

namespace nodrel::codeintel {
namespace {

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

  FileBatches batches(*this, result, project, storedFiles, [&](std::size_t index) {
    return prepareFile(files[index], project, fileIDs[index], storedFiles);
  });
  std::size_t taken = 0;
  for (std::size_t index = 0; index < files.size(); ++index) {
    if (unchanged[index]) {
      ++result.filesSkipped;
      continue;
    }
    Prepared prepared = pipeline ? pipeline->take(taken)
                                 : prepareFile(files[index], project, fileIDs[index], storedFiles);
    ++taken;
    batches.write(std::move(prepared), index);
  }
  batches.finish();
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
    const auto links = linkImportReferences(project);
    db_.beginCall();
    result.edgesCreated += links.attempts;
    StoredCodeSummary fresh;
    fresh.referenceAttempts = links.attempts;
    // The summary may say its references hold only at the counter they were derived at.
    fresh.generation = links.generation.value_or(-1);
    summary = std::move(fresh);
  }
  linkMemoriesToCodeFiles(project);
  db_.beginCall();

  // Scores follow from the code rows and the inputs in the digest; equal inputs give the
  // scores already stored.
  finishScoresAndSummary(project, *summary, summaryValid, db_);
  return result;
}

}  // namespace nodrel::codeintel
