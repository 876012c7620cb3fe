#include "codeintel/run_summary.h"

#include <cstdio>
#include <exception>
#include <map>
#include <unordered_map>

#include "codeintel/build_failures.h"
#include "codeintel/co_changes.h"
#include "codeintel/code_generation.h"
#include "codeintel/fragility.h"
#include "db/error.h"
#include "db/savepoint.h"
#include "platform/sha256.h"

namespace nodrel::codeintel {

namespace {

// The inputs of the project's fragility scores other than its own code rows, as one digest:
// every project's code counter (a file of any project may declare a name that the project's
// edges point at), the co-change totals and the recent build-failure shares. Equal digests
// give equal scores; nothing when a part is unknown.
std::optional<std::string> digestOf(const FragilityTables& tables, db::Connection& db) {
  if (!tables.buildSharesRead) return std::nullopt;
  auto generations = totalCodeGeneration(db);
  if (!generations) return std::nullopt;
  std::string text = "generations " + std::to_string(*generations) + "\n";
  auto append = [&](const char* kind, const auto& table) {
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
  append("co", tables.coChanges);
  append("build", tables.buildShares);
  return platform::sha256Hex(text);
}

}  // namespace

void finishScoresAndSummary(const std::string& project, const StoredCodeSummary& known,
                            bool knownValid, db::Connection& db) {
  db.beginCall();
  // The tables the digest is made of are the ones the scores are computed from.
  std::optional<FragilityTables> tables;
  std::optional<std::string> inputs;
  try {
    tables = readFragilityTables(project, db);
    inputs = digestOf(*tables, db);
  } catch (const db::Error&) {
    inputs.reset();
  }
  const bool scoresCurrent = knownValid && inputs && known.fragilityInputs == inputs;
  std::optional<ProjectCodeCounts> counts;  // read once for the scores and the summary
  if (!scoresCurrent) {
    try {
      counts = readProjectCodeCounts(project, db);
      if (tables) {
        recomputeFragilityScores(*counts, *tables, db);
      } else {
        recomputeFragilityScores(project, *counts, db);
      }
    } catch (const std::exception&) {
      // Old or absent scores are still a successful run.
      inputs.reset();
    }
  }
  db.beginCall();
  storeSummary(project, known, inputs, knownValid, db, counts ? &*counts : nullptr);
}

void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid, db::Connection& db,
                  const ProjectCodeCounts* counts) {
  if (knownValid && known.fragilityInputs == inputs) return;
  try {
    db::Savepoint savepoint(db, "code_summary");
    auto generation = codeGeneration(project, db);
    if (!generation) return;
    // Rows written since the figures were found valid, or since the references were derived,
    // are not what they describe: another run rewrote files and owes its own summary.
    if (*generation != known.generation) return;
    StoredCodeSummary stored = known;
    if (!knownValid) {
      stored.summary = counts && counts->generation == generation ? codeSummaryFrom(*counts)
                                                                  : computeCodeSummary(project, db);
    }
    stored.generation = *generation;
    stored.fragilityInputs = inputs;
    storeCodeSummary(project, stored, db);
    savepoint.commit();
  } catch (const db::Error&) {
    // Left for the next run to compute.
  }
}

void refreshFragilityScores(const std::string& project, db::Connection& db) {
  const auto summary = readStoredCodeSummary(project, db);
  if (summary && summary->referenceAttempts) {
    finishScoresAndSummary(project, *summary, true, db);
    return;
  }
  // Without a valid summary there is no digest to keep; the next run computes both.
  try {
    db.beginCall();
    recomputeFragilityScores(project, db);
  } catch (const std::exception&) {
    // Left to the next run.
  }
}

}  // namespace nodrel::codeintel
