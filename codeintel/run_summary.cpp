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

std::optional<std::string> fragilityInputs(const std::string& project, db::Connection& db) {
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
  append("co", fetchCoChangeTotals(project, db));
  append("build", fetchRecentBuildFailureShares(project, db));
  return platform::sha256Hex(text);
}

void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid, db::Connection& db,
                  const ProjectCodeCounts* counts) {
  if (knownValid && known.fragilityInputs == inputs) return;
  try {
    db::Savepoint savepoint(db, "code_summary");
    auto generation = codeGeneration(project, db);
    if (!generation) return;
    // Rows written since the figures were found valid are not what they describe.
    if (knownValid && *generation != known.generation) return;
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
  const bool summaryValid = summary && summary->referenceAttempts;
  std::optional<std::string> inputs;
  try {
    inputs = fragilityInputs(project, db);
  } catch (const db::Error&) {
    inputs.reset();
  }
  if (summaryValid && inputs && summary->fragilityInputs == inputs) return;
  try {
    db.beginCall();
    recomputeFragilityScores(project, db);
  } catch (const std::exception&) {
    return;  // the stored digest still names the old inputs
  }
  // Without a valid summary there is no digest to keep; the next run computes both.
  if (!summaryValid) return;
  db.beginCall();
  storeSummary(project, *summary, inputs, true, db);
}

}  // namespace nodrel::codeintel
