#include "store/recall.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include <nlohmann/json.hpp>

#include "db/error.h"
#include "store/graph_traversal.h"
#include "store/in_list.h"
#include "store/memory_links.h"
#include "store/query_router.h"
#include "store/vector_store.h"
#include "store/write_path.h"

namespace nodrel::store {
namespace {

// The full-text statement is assembled from these pieces: the project line and the tier
// clause come and go with the query.
constexpr std::string_view kFullTextHead =
    R"sql(    SELECT m.id, m.tier, m.body, m.body_tokens, m.project, m.context_path,
           m.type, m.tags, m.created_at, m.last_accessed, m.access_count,
           m.strength, m.importance, m.pinned, m.evidence_count,
           m.parent_id, m.source_session, m.predicted_future_use,
           m.condition_type, m.condition_value, m.surface_condition,
           m.trigger_keywords, m.depth, m.is_top_level,
           bm25(memories_fts) AS rank
    FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
)sql";
constexpr std::string_view kFullTextProject = "      AND m.project = ?\n";
constexpr std::string_view kFullTextLive = "      AND m.deleted_at IS NULL\n      ";
constexpr std::string_view kFullTextTail = "\n    ORDER BY rank\n    LIMIT 50";

// Candidates found by vector or graph alone. Soft-deleted memories stay out here as in every
// other read of memories; cold ones do not, so links still reach the archive. The unary "+"
// keeps the project's index out of the plan: SQLite preferred it to the identifiers, and walked
// every live memory of the project (half of a large store, for a heavy user's main project) to
// find the few dozen candidates that looking them up by id touches alone.
constexpr std::string_view kSelectCandidatesHead =
    R"sql(    SELECT id, tier, body, body_tokens, project, context_path,
           type, tags, created_at, last_accessed, access_count,
           strength, importance, pinned, evidence_count,
           parent_id, source_session, predicted_future_use,
           condition_type, condition_value, surface_condition,
           trigger_keywords, depth, is_top_level
    FROM memories WHERE +deleted_at IS NULL AND id IN ()sql";
// With a project, another project's memory is never a candidate; global ones (no project) are.
constexpr std::string_view kCandidatesInProject = " AND (+project = ? OR +project IS NULL)";

constexpr std::string_view kInsertInjectionSignal =
    "INSERT INTO ml_signals (memory_id, signal_type, timestamp, payload_json) VALUES (?,?,?,?)";

constexpr std::size_t kFullTextLimit = 50;
constexpr std::int64_t kVectorLimit = 50;
constexpr std::size_t kSeedsPerSignal = 10;
constexpr int kGraphHops = 2;
constexpr std::int64_t kGraphLimit = 50;
constexpr double kFusionK = 60.0;
constexpr std::size_t kSparseThreshold = 4;
constexpr std::int64_t kFallbackLimit = 20;

struct FullTextHit {
  Memory memory;
  double bm25 = -1.0;
};

// Any failure of the statement, at preparation or while stepping (a busy database, a missing
// table), costs the full-text signal only.
std::vector<FullTextHit> fullTextHits(std::string_view query,
                                      const std::optional<std::string>& project,
                                      const QueryRoute& route, db::Connection& connection) {
  std::vector<db::Value> bindings;
  bindings.emplace_back(sanitizeFTSQuery(query));
  if (project) bindings.emplace_back(*project);
  for (const auto& tier : route.tiers) bindings.emplace_back(tier);

  std::vector<FullTextHit> hits;
  try {
    connection.each(fullTextRecallSQL(project.has_value(), route.tiers.size()), bindings,
                    [&](const db::Row& row) {
                      auto memory = memoryFromRow(row);
                      if (!memory) return true;
                      const double bm25 =
                          row.size() > 24 ? db::realOf(row[24]).value_or(-1.0) : -1.0;
                      hits.push_back({std::move(*memory), bm25});
                      return hits.size() < kFullTextLimit;
                    });
  } catch (const std::exception& error) {
    const std::string line = std::string("[nodrel] recall FTS error: ") + error.what() + "\n";
    std::fwrite(line.data(), 1, line.size(), stderr);
    hits.clear();
  }
  return hits;
}

std::unordered_map<std::string, double> normalisedFullTextScores(
    const std::vector<FullTextHit>& hits) {
  std::unordered_map<std::string, double> scores;
  if (hits.empty()) return scores;
  double lowest = hits.front().bm25;
  double highest = hits.front().bm25;
  for (const auto& hit : hits) {
    lowest = std::min(lowest, hit.bm25);
    highest = std::max(highest, hit.bm25);
  }
  const double range = highest - lowest;
  for (const auto& hit : hits) {
    // Hits that all rank alike (a lone hit among them) are all the best match there is.
    double score = 1.0;
    if (hit.bm25 == -1.0) {
      score = 0.0;
    } else if (range != 0.0) {
      score = 1.0 - (hit.bm25 - lowest) / range;
    }
    scores.emplace(hit.memory.id, score);  // should an id come twice, its first row counts
  }
  return scores;
}

std::vector<SimilarityHit> vectorHits(std::string_view query,
                                      const std::optional<std::string>& project,
                                      db::Connection& connection, KeptVectorCopy* keptVectors) {
  auto vector = embed(query);
  if (!vector) return {};
  try {
    if (keptVectors != nullptr) {
      return searchSimilar(*vector, kVectorLimit, true, *keptVectors, project);
    }
    return VectorStore(connection).searchSimilar(*vector, kVectorLimit, true, project);
  } catch (const std::exception&) {
    return {};
  }
}

std::vector<GraphHit> graphHits(const std::vector<FullTextHit>& fullText,
                                const std::vector<SimilarityHit>& vector, const QueryRoute& route,
                                const std::optional<std::string>& project,
                                db::Connection& connection) {
  std::vector<std::string> seeds;
  std::unordered_set<std::string> seen;
  for (std::size_t i = 0; i < std::min(kSeedsPerSignal, fullText.size()); ++i) {
    if (seen.insert(fullText[i].memory.id).second) seeds.push_back(fullText[i].memory.id);
  }
  for (std::size_t i = 0; i < std::min(kSeedsPerSignal, vector.size()); ++i) {
    if (seen.insert(vector[i].memoryID).second) seeds.push_back(vector[i].memoryID);
  }
  const std::vector<std::string> edgeTypes(route.preferredEdgeTypes.begin(),
                                           route.preferredEdgeTypes.end());
  try {
    return GraphTraversal(connection).traverse(seeds, kGraphHops, edgeTypes, kGraphLimit, project);
  } catch (const std::exception&) {
    return {};
  }
}

// Reads the candidates in batches, so a large limit cannot exceed SQLite's parameter cap. A
// failing read drops the candidates it was to bring, and only those.
void readCandidates(const std::vector<std::string>& ids, const std::optional<std::string>& project,
                    std::unordered_map<std::string, Memory>& memories, db::Connection& connection) {
  forEachBatch<std::string>(ids, kInListBatchSize, [&](std::span<const std::string> batch) {
    std::string sql(kSelectCandidatesHead);
    sql += sqlPlaceholders(batch.size());
    sql += ")";
    std::vector<db::Value> bindings(batch.begin(), batch.end());
    if (project) {
      sql += kCandidatesInProject;
      bindings.emplace_back(*project);
    }
    std::vector<Memory> read;
    try {
      connection.each(sql, bindings, [&](const db::Row& row) {
        if (auto memory = memoryFromRow(row)) read.push_back(std::move(*memory));
        return true;
      });
    } catch (const std::exception&) {
      return;
    }
    for (auto& memory : read) {
      std::string id = memory.id;
      memories.insert_or_assign(std::move(id), std::move(memory));
    }
  });
}

std::size_t saturatingTriple(std::int64_t limit) {
  if (limit <= 0) return 0;
  const auto n = static_cast<std::uint64_t>(limit);
  constexpr auto kMax = std::numeric_limits<std::size_t>::max();
  return n > kMax / 3 ? kMax : static_cast<std::size_t>(n * 3);
}

double valueOr0(const std::unordered_map<std::string, double>& map, const std::string& id) {
  auto it = map.find(id);
  return it == map.end() ? 0.0 : it->second;
}

}  // namespace

std::string fullTextRecallSQL(bool withProject, std::size_t tierCount) {
  std::string sql(kFullTextHead);
  if (withProject) sql += kFullTextProject;
  sql += kFullTextLive;
  if (tierCount > 0) {
    sql += "AND m.tier IN (" + sqlPlaceholders(tierCount) + ")";
  } else {
    sql += "AND m.tier != 'cold'";
  }
  sql += kFullTextTail;
  return sql;
}

std::string sanitizeFTSQuery(std::string_view query) { return buildFTSOrQuery(query); }

std::vector<FusedID> reciprocalRankFusion(std::span<const std::vector<std::string>> lists,
                                          double k) {
  std::vector<FusedID> fused;
  std::unordered_map<std::string, std::size_t> indexOf;
  for (const auto& list : lists) {
    for (std::size_t i = 0; i < list.size(); ++i) {
      const double contribution = 1.0 / (k + static_cast<double>(i + 1));
      auto [it, inserted] = indexOf.emplace(list[i], fused.size());
      if (inserted) {
        fused.push_back({list[i], contribution});
      } else {
        fused[it->second].score += contribution;
      }
    }
  }
  std::stable_sort(fused.begin(), fused.end(),
                   [](const FusedID& a, const FusedID& b) { return a.score > b.score; });
  return fused;
}

void recordInjectionSignal(const std::string& memoryID, const std::optional<std::string>& sessionID,
                           db::Connection& connection) {
  std::string payload = "{}";
  if (sessionID) {
    payload =
        "{\"session_id\":" +
        nlohmann::json(*sessionID).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
        "}";
  }
  connection.run(kInsertInjectionSignal,
                 {db::Value(memoryID), db::Value(std::string("injected")),
                  db::Value(platform::currentTimestampText()), db::Value(std::move(payload))});
}

double tierStabilityDays(MemoryTier tier) {
  switch (tier) {
    case MemoryTier::Episodic:
      return 14.0;
    case MemoryTier::Semantic:
      return 180.0;
    case MemoryTier::Procedural:
      return 365.0;
    case MemoryTier::Cold:
      return 1.0;
  }
  return 14.0;
}

double recallScore(const Memory& memory, const RecallSignals& signals, const RecallWeights& weights,
                   platform::Instant now) {
  const double relevance = weights.fullText * signals.fullText + weights.vector * signals.vector +
                           weights.graph * signals.graph;
  const double ageSeconds =
      std::max(0.0, std::chrono::duration<double>(now - memory.lastAccessed).count());
  const double decay = std::exp(ageSeconds / -86400.0 / tierStabilityDays(memory.tier));
  // A negative use count can only come from a row edited by hand; it counts as unused rather
  // than turning the score into NaN, which would break the ordering.
  const double uses = static_cast<double>(std::max<std::int64_t>(memory.accessCount, 0));
  const double prior = 0.15 * decay + 0.1 * std::log(uses + 1.0) +
                       0.05 * (static_cast<double>(memory.importance) / 10.0);
  const double bonus = memory.pinned ? 0.25 : 0.0;
  return bonus + (prior + relevance);
}

std::vector<ScoredMemory> recallMemories(std::string_view query,
                                         const std::optional<std::string>& project,
                                         std::int64_t limit, db::Connection& connection,
                                         KeptVectorCopy* keptVectors) {
  const QueryRoute route = QueryRouter::route(query);

  std::vector<FullTextHit> fullText = fullTextHits(query, project, route, connection);
  const auto fullTextScores = normalisedFullTextScores(fullText);

  const auto vector = vectorHits(query, project, connection, keptVectors);
  std::unordered_map<std::string, double> vectorScores;
  for (const auto& hit : vector) vectorScores.emplace(hit.memoryID, hit.similarity);

  const auto graph = graphHits(fullText, vector, route, project, connection);
  std::unordered_map<std::string, double> graphScores;
  for (const auto& hit : graph) graphScores.emplace(hit.id, hit.score);

  std::vector<std::vector<std::string>> ranked(3);
  for (const auto& hit : fullText) ranked[0].push_back(hit.memory.id);
  for (const auto& hit : vector) ranked[1].push_back(hit.memoryID);
  for (const auto& hit : graph) ranked[2].push_back(hit.id);
  const std::vector<FusedID> fused = reciprocalRankFusion(ranked, kFusionK);

  std::unordered_map<std::string, Memory> memories;
  for (auto& hit : fullText) {
    std::string id = hit.memory.id;
    memories.try_emplace(std::move(id), std::move(hit.memory));
  }
  {
    const std::size_t considered = std::min(saturatingTriple(limit), fused.size());
    std::vector<std::string> toRead;
    for (std::size_t i = 0; i < considered; ++i) {
      if (!memories.contains(fused[i].id)) toRead.push_back(fused[i].id);
    }
    if (!toRead.empty()) readCandidates(toRead, project, memories, connection);
  }

  // Fallback memories join the map; those the signals never named are scored after the rest,
  // most recently used first.
  std::vector<std::string> unranked;
  {
    std::unordered_set<std::string> distinct;
    for (const auto& list : ranked) distinct.insert(list.begin(), list.end());
    if (distinct.size() <= kSparseThreshold) {
      for (auto& memory : recentMemories(project, kFallbackLimit, connection)) {
        if (!distinct.contains(memory.id)) unranked.push_back(memory.id);
        std::string id = memory.id;
        memories.try_emplace(std::move(id), std::move(memory));
      }
    }
  }

  // One instant for the whole ranking, so memories alike in all but their place in the lists
  // score exactly alike and keep their order.
  const platform::Instant now = platform::now();
  const RecallWeights weights{route.bm25Weight, route.vectorWeight, route.graphWeight};
  std::vector<ScoredMemory> scored;
  scored.reserve(memories.size());
  for (const auto& entry : fused) {
    auto it = memories.find(entry.id);
    if (it == memories.end()) continue;
    const RecallSignals signals{valueOr0(fullTextScores, entry.id),
                                valueOr0(vectorScores, entry.id), valueOr0(graphScores, entry.id)};
    scored.push_back({std::move(it->second), 0.0});
    scored.back().score = recallScore(scored.back().memory, signals, weights, now);
  }
  for (const auto& id : unranked) {
    auto it = memories.find(id);
    if (it == memories.end()) continue;
    scored.push_back({std::move(it->second), 0.0});
    scored.back().score = recallScore(scored.back().memory, {}, weights, now);
    memories.erase(it);
  }

  std::stable_sort(scored.begin(), scored.end(),
                   [](const ScoredMemory& a, const ScoredMemory& b) { return a.score > b.score; });
  const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(limit, 0));
  if (scored.size() > keep) scored.resize(keep);
  return scored;
}

}  // namespace nodrel::store
