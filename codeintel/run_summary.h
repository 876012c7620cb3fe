// codeintel/run_summary.h: what an ingestion run leaves for the next run and the context:
// the digest of the fragility inputs and the stored code summary.
#pragma once

#include <optional>
#include <string>

#include "codeintel/code_summary.h"
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
// writer's rows can never be described by a counter they raised. A failure costs only the
// summary: the next run and the context compute what it would have said.
void storeSummary(const std::string& project, const StoredCodeSummary& known,
                  const std::optional<std::string>& inputs, bool knownValid, db::Connection& db);

}  // namespace nodrel::codeintel
