// codeintel/run_summary.h: what an ingestion run leaves for the next run and the context:
// the digest of the fragility inputs and the stored code summary.
#pragma once

#include <optional>
#include <string>

#include "codeintel/code_summary.h"
#include "codeintel/inbound_counts.h"
#include "db/connection.h"

namespace nodrel::codeintel {

// Stores what the run leaves for the context and the next run: the summary `known` as it was
// found valid (its figures kept) or a fresh one (figures computed now), with the fragility
// inputs the scores were computed from (nothing when they were not). The figures and the
// counter they are stamped with are read in one transaction with the write, so another
// writer's rows can never be described by a counter they raised; figures found valid are kept
// only while the counter is still the one they were found at, and a fresh summary only while it
// is the one its references were derived at (`known.generation`). Fresh figures come from `counts`
// when the run read them at the counter of the write. A failure costs only the summary: the
// next run and the context compute what it would have said.
void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid, db::Connection& db,
                  const ProjectCodeCounts* counts = nullptr);

// The end of an ingestion run: recomputes the project's fragility scores unless `known` is valid
// and was stored with the digest of the inputs they have now, then stores the summary
// (storeSummary) with the digest. `known` is the stored summary when `knownValid`, else the
// run's fresh one, whose figures are computed here. Never throws: scores that could not be
// recomputed are stored with no digest, so the next run tries again.
void finishScoresAndSummary(const std::string& project, const StoredCodeSummary& known,
                            bool knownValid, db::Connection& db);

// Brings the project's fragility scores, and the digest of their inputs kept with its summary,
// up to date after an input changed outside an ingestion run (the co-change pairs mined after
// it), so that the next run over an unchanged tree has nothing to recompute. Does nothing while
// the stored digest still holds. Never throws: scores it cannot bring up to date keep a digest
// that no longer matches, and the next run recomputes them.
void refreshFragilityScores(const std::string& project, db::Connection& db);

}  // namespace nodrel::codeintel
