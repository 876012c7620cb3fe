// codeintel/run_summary.h: what an ingestion run leaves for the next run and the context:
// the digest of the fragility inputs and the stored code summary.
#pragma once

#include <optional>
#include <string>

#include "codeintel/code_summary.h"
#include "codeintel/inbound_counts.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// The inputs of the project's fragility scores other than its own code rows, as one digest:
// every project's code counter (a file of any project may declare a name that the project's
// edges point at), the co-change totals and the recent build-failure shares. Equal digests
// give equal scores. Throws db::Error.
std::optional<std::string> fragilityInputs(const std::string& project, db::Connection& db);

// Stores what the run leaves for the context and the next run: the summary `known` as it was
// found valid (its figures kept) or a fresh one (figures computed now), with the fragility
// inputs the scores were computed from (nothing when they were not). The figures and the
// counter they are stamped with are read in one transaction with the write, so another
// writer's rows can never be described by a counter they raised; figures found valid are kept
// only while the counter is still the one they were found at. Fresh figures come from `counts`
// when the run read them at the counter of the write. A failure costs only the summary: the
// next run and the context compute what it would have said.
void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid, db::Connection& db,
                  const ProjectCodeCounts* counts = nullptr);

// Brings the project's fragility scores, and the digest of their inputs kept with its summary,
// up to date after an input changed outside an ingestion run (the co-change pairs mined after
// it), so that the next run over an unchanged tree has nothing to recompute. Does nothing while
// the stored digest still holds. Never throws: scores it cannot bring up to date keep a digest
// that no longer matches, and the next run recomputes them.
void refreshFragilityScores(const std::string& project, db::Connection& db);

}  // namespace nodrel::codeintel
