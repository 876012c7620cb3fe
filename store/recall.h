// store/recall.h: hybrid recall, the read side of the memory store. Full-text (bm25), vector
// similarity and graph expansion each find candidates; reciprocal rank fusion picks which to
// look at, and a score of weighted signals plus a prior (recency decaying by tier, use,
// importance, pinning) orders them. Recall only reads: it changes no memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "platform/time.h"
#include "store/memory.h"
#include "store/vector_store.h"

namespace nodrel::store {

struct ScoredMemory {
  Memory memory;
  double score = 0.0;
  friend bool operator==(const ScoredMemory&, const ScoredMemory&) = default;
};

struct FusedID {
  std::string id;
  double score = 0.0;
  friend bool operator==(const FusedID&, const FusedID&) = default;
};

// At most `limit` memories (a negative limit counts as 0) for the query, best first. With a
// project, no memory of another project is returned: full-text candidates are that project's
// only, and vector and graph candidates that project's or global ones (no project); without a
// project every memory is a candidate. Deleted memories are never returned;
// cold ones only when graph expansion reaches them (the archive stays reachable by its links,
// not by search). A failing full-text query is logged ("[nodrel] recall FTS error: ...") and counts
// as no hits; failures of the vector, graph and candidate reads drop that signal. Throws only the
// db::Error of the recent-memories fallback. `keptVectors`, the copy kept for `connection` or
// null, is what the vector search compares against.
std::vector<ScoredMemory> recallMemories(std::string_view query,
                                         const std::optional<std::string>& project,
                                         std::int64_t limit, db::Connection& connection,
                                         KeptVectorCopy* keptVectors);

// The full-text statement recall runs, also the floor its benchmarks hold it against. It binds
// the match expression (sanitizeFTSQuery), then the project when `withProject`, then
// `tierCount` tiers; with no tiers every tier but cold is searched.
std::string fullTextRecallSQL(bool withProject, std::size_t tierCount);

// Free text as a full-text match expression that cannot be a syntax error and matches any
// significant word of the text: the same expression as buildFTSOrQuery (store/memory_links.h).
// A question's words seldom all stand in one memory, so none of them is required.
std::string sanitizeFTSQuery(std::string_view query);

// Each identifier collects 1 / (k + position) from every place it holds in every list
// (positions from 1). Highest first; equal scores in order of first appearance.
std::vector<FusedID> reciprocalRankFusion(std::span<const std::vector<std::string>> lists,
                                          double k);

// Writes one "injected" row to `ml_signals` for a memory shown to the assistant. Throws
// db::Error.
void recordInjectionSignal(const std::string& memoryID, const std::optional<std::string>& sessionID,
                           db::Connection& connection);

// The ranking of one memory, apart so it can be checked by itself.
struct RecallSignals {
  double fullText = 0.0;
  double vector = 0.0;
  double graph = 0.0;
};
struct RecallWeights {
  double fullText = 0.0;
  double vector = 0.0;
  double graph = 0.0;
};

// Days over which recency decays to 1/e, by tier.
double tierStabilityDays(MemoryTier tier);

// bonus (0.25 when pinned) + prior (0.15 x recency decay + 0.1 x ln(uses + 1) + 0.05 x
// importance / 10) + the weighted signals. A last access in the future counts as now.
double recallScore(const Memory& memory, const RecallSignals& signals, const RecallWeights& weights,
                   platform::Instant now);

}  // namespace nodrel::store
