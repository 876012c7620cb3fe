#include "store/demotion.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>
#include <numeric>
#include <unordered_map>
#include <utility>

#include "db/error.h"
#include "db/savepoint.h"
#include "db/statement.h"
#include "platform/notifications.h"
#include "platform/saturating.h"
#include "store/file_byte_count.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kDemotionCandidates = R"sql(
    SELECT id, tier, body, body_tokens, project, context_path, type, tags, created_at,
           last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id,
           source_session, predicted_future_use, condition_type, condition_value,
           surface_condition, trigger_keywords, depth, is_top_level
    FROM memories
    WHERE tier != 'cold'
      AND deleted_at IS NULL
      AND pinned = 0
    ORDER BY last_accessed ASC)sql";

constexpr std::string_view kLinkDegree = R"sql(
    SELECT COUNT(*) FROM memory_links
    WHERE src_id = ? OR dst_id = ?)sql";

constexpr std::string_view kLinkTwoHop = R"sql(
    SELECT COUNT(DISTINCT hop2.dst_id) FROM memory_links hop1
    JOIN memory_links hop2
      ON hop2.src_id = hop1.dst_id AND hop2.dst_id != ?
    WHERE hop1.src_id = ?
    LIMIT 200)sql";

// Every link once, for counting the links of all candidates in memory.
constexpr std::string_view kAllLinks = "SELECT src_id, dst_id FROM memory_links";

constexpr std::string_view kMemoryTier = "SELECT tier FROM memories WHERE id = ? LIMIT 1";

constexpr std::string_view kDemoteMemory = "UPDATE memories SET tier = 'cold' WHERE id = ?";

constexpr std::string_view kInsertHistory = R"sql(
    INSERT INTO memory_history (memory_id, from_tier, to_tier, reason, moved_at)
    VALUES (?, ?, 'cold', 'active_cap_demotion', ?))sql";

constexpr std::string_view kInsertDemotionAudit = R"sql(
    INSERT INTO audit_log (timestamp, session_id, tool_name, result_summary, impact_scope, created_at)
    VALUES (?, NULL, 'active_cap_demotion', ?, 'global', ?))sql";

constexpr double kSecondsPerDay = 86'400.0;
constexpr std::int64_t kEstimatedBytesPerToken = 4;

// Estimated bytes of a memory; a malformed token count cannot overflow a total.
std::int64_t estimatedBytes(const Memory& memory) {
  if (memory.bodyTokens <= 0) return 0;
  if (memory.bodyTokens > INT64_MAX / kEstimatedBytesPerToken) return INT64_MAX;
  return memory.bodyTokens * kEstimatedBytesPerToken;
}

// Both counts through statements prepared once: a pass asks for every candidate.
class LinkCounter {
 public:
  explicit LinkCounter(db::Connection& connection)
      : degree_(connection.prepare(kLinkDegree)), twoHop_(connection.prepare(kLinkTwoHop)) {}

  MemoryLinkCounts count(const std::string& id) {
    MemoryLinkCounts counts;
    counts.degree = single(degree_, id);
    counts.twoHop = single(twoHop_, id);
    return counts;
  }

 private:
  static std::int64_t single(db::Statement& statement, const std::string& id) {
    statement.reset();
    statement.bindText(1, id).bindText(2, id);
    std::int64_t value = 0;
    try {
      if (statement.step()) value = db::integerOf(statement.column(0)).value_or(0);
    } catch (...) {
      statement.reset();
      throw;
    }
    statement.reset();  // ends the read so that it holds no snapshot between calls
    return value;
  }

  db::Statement degree_;
  db::Statement twoHop_;
};

// The links as a graph, to count degrees and two-hop reach of thousands of memories with one
// query instead of two each. It counts exactly what the two per-memory queries count: a node
// is a value with its storage class (text never equals a blob; numbers, which the columns'
// text affinity turns into text, are kept apart too), NULL joins nothing, and a link from a
// memory to itself counts once towards its degree.
class LinkGraph {
 public:
  // Nothing when the links cannot be read.
  static std::optional<LinkGraph> load(db::Connection& connection) {
    LinkGraph graph;
    try {
      db::Statement statement = connection.prepare(kAllLinks);
      while (statement.step()) {
        const auto src = graph.node(statement.column(0));
        const auto dst = graph.node(statement.column(1));
        if (src) ++graph.degree_[*src];
        if (dst && dst != src) ++graph.degree_[*dst];
        if (src && dst) graph.out_[*src].push_back(*dst);
      }
    } catch (const std::exception&) {
      return std::nullopt;
    }
    graph.seen_.assign(graph.out_.size(), 0);
    return graph;
  }

  MemoryLinkCounts count(const std::string& memoryID) {
    auto it = text_.find(memoryID);
    if (it == text_.end()) return {};
    const std::size_t self = it->second;
    ++stamp_;
    std::int64_t reached = 0;
    for (std::size_t hop1 : out_[self]) {
      for (std::size_t hop2 : out_[hop1]) {
        if (hop2 == self || seen_[hop2] == stamp_) continue;
        seen_[hop2] = stamp_;
        ++reached;
      }
    }
    return {degree_[self], reached};
  }

 private:
  std::optional<std::size_t> node(db::Value value) {
    std::unordered_map<std::string, std::size_t>* index = &text_;
    std::string key;
    if (auto* text = std::get_if<std::string>(&value)) {
      key = std::move(*text);
    } else if (auto* blob = std::get_if<db::Blob>(&value)) {
      index = &blobs_;
      key = std::move(blob->bytes);
    } else if (auto i = db::integerOf(value)) {
      index = &numbers_;
      key = std::to_string(*i);
    } else if (auto r = db::realOf(value)) {
      index = &numbers_;
      key = std::to_string(*r);
    } else {
      return std::nullopt;
    }
    auto [it, added] = index->try_emplace(std::move(key), out_.size());
    if (added) {
      out_.emplace_back();
      degree_.push_back(0);
    }
    return it->second;
  }

  std::unordered_map<std::string, std::size_t> text_, blobs_, numbers_;
  std::vector<std::vector<std::size_t>> out_;
  std::vector<std::int64_t> degree_;
  std::vector<std::uint64_t> seen_;
  std::uint64_t stamp_ = 0;
};

bool isCold(db::Connection& connection, const std::string& id) {
  try {
    auto tier = connection.scalar(kMemoryTier, {db::text(id)});
    const std::string* text = tier ? db::textOf(*tier) : nullptr;
    return text && *text == "cold";
  } catch (const std::exception&) {
    return false;
  }
}

// Ignores the failure of one of the pass's writes, as the pass goes on without it.
bool tryRun(db::Connection& connection, std::string_view sql,
            std::initializer_list<db::Value> bindings, int* changed = nullptr) {
  try {
    int n = connection.run(sql, bindings);
    if (changed) *changed = n;
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace

void runDemotionPass(std::int64_t bytesToFree, db::Connection& connection,
                     platform::NotificationCenter& notifications) {
  const std::vector<Memory> list = rankDemotionCandidates(bytesToFree, connection);
  std::vector<const Memory*> moved;
  {
    // One commit for the pass instead of two per memory; each statement still fails on its own.
    std::optional<db::Savepoint> savepoint;
    try {
      savepoint.emplace(connection, "nodrel_demotion");
    } catch (const std::exception&) {
      // Without it every statement commits on its own, which is slower but as sound.
    }
    for (const Memory& memory : list) {
      int changed = 0;
      // A memory that did not move is not reported as demoted, nor given a history row.
      if (!tryRun(connection, kDemoteMemory, {db::text(memory.id)}, &changed) || changed == 0) {
        continue;
      }
      tryRun(connection, kInsertHistory,
             {db::text(memory.id), db::text(toString(memory.tier)),
              db::text(platform::currentTimestampText())});
      moved.push_back(&memory);
    }
    if (savepoint) {
      try {
        savepoint->commit();
      } catch (const std::exception&) {
        // Rolled back, in whole or (after SQLite gave up the transaction) in part: report
        // only the memories that are cold now.
        savepoint.reset();
        std::erase_if(moved, [&](const Memory* m) { return !isCold(connection, m->id); });
      }
    }
  }
  const auto demoted = static_cast<std::int64_t>(moved.size());
  std::int64_t freed = 0;
  for (const Memory* memory : moved)
    freed = platform::saturatingAdd(freed, estimatedBytes(*memory));

  const std::string summary = "Active cap hit \u2014 demoted " + std::to_string(demoted) +
                              " memories to cold (" + fileByteCountString(freed) + " freed)";
  const std::string now = platform::currentTimestampText();
  tryRun(connection, kInsertDemotionAudit, {db::text(now), db::text(summary), db::text(now)});
  try {
    postDemotionNotification(notifications, demoted, freed);
  } catch (const std::exception&) {
    // An observer's failure is not the writer's.
  }
}

MemoryLinkCounts memoryLinkCounts(const std::string& memoryID, db::Connection& connection) {
  LinkCounter counter(connection);
  return counter.count(memoryID);
}

std::optional<std::vector<MemoryLinkCounts>> memoryLinkCountsOfAll(
    const std::vector<std::string>& memoryIDs, db::Connection& connection) {
  auto graph = LinkGraph::load(connection);
  if (!graph) return std::nullopt;
  std::vector<MemoryLinkCounts> counts;
  counts.reserve(memoryIDs.size());
  for (const auto& id : memoryIDs) counts.push_back(graph->count(id));
  return counts;
}

double demotionTypeWeight(MemoryType type) {
  switch (type) {
    case MemoryType::Correction:
      return 0.55;
    case MemoryType::Decision:
      return 0.35;
    case MemoryType::Fact:
      return 0.35;
    case MemoryType::Rule:
      return 0.8;
    case MemoryType::Workflow:
      return 0.8;
    case MemoryType::Observation:
      return 0;
    case MemoryType::KeyPoint:
      return 0.15;
    case MemoryType::Handoff:
      return 0.15;
    case MemoryType::State:
      return 0.15;
  }
  return 0;
}

std::vector<double> demotionScores(const std::vector<Memory>& candidates,
                                   const std::vector<std::optional<MemoryLinkCounts>>& counts,
                                   platform::Instant now) {
  double degreeSum = 0, twoHopSum = 0;
  double maxDegree = 0, maxTwoHop = 0;
  std::size_t recorded = 0;
  for (const auto& c : counts) {
    if (!c) continue;
    ++recorded;
    degreeSum += static_cast<double>(c->degree);
    twoHopSum += static_cast<double>(c->twoHop);
    maxDegree = std::max(maxDegree, static_cast<double>(c->degree));
    maxTwoHop = std::max(maxTwoHop, static_cast<double>(c->twoHop));
  }
  const double meanDegree = recorded ? degreeSum / static_cast<double>(recorded) : 0;
  const double meanTwoHop = recorded ? twoHopSum / static_cast<double>(recorded) : 0;

  auto ageInDays = [&](const Memory& m) {
    const double seconds = std::chrono::duration<double>(now - m.lastAccessed).count();
    return std::max(0.0, seconds) / kSecondsPerDay;
  };
  double maxAccess = 0, maxAge = 0;
  for (const Memory& m : candidates) {
    maxAccess = std::max(maxAccess, static_cast<double>(m.accessCount));
    maxAge = std::max(maxAge, ageInDays(m));
  }

  std::vector<double> scores;
  scores.reserve(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Memory& m = candidates[i];
    const std::optional<MemoryLinkCounts> c = i < counts.size() ? counts[i] : std::nullopt;
    const double access =
        maxAccess == 0 ? 0 : (static_cast<double>(m.accessCount) / maxAccess) * 0.30;
    const double recency = maxAge == 0 ? 1.0 : 1 - ageInDays(m) / maxAge;
    const double d = c && c->degree != 0 ? static_cast<double>(c->degree) : meanDegree;
    const double degreeFactor = maxDegree == 0 ? 0.5 : std::min(d / maxDegree, 1.0);
    const double t = c && c->twoHop != 0 ? static_cast<double>(c->twoHop) : meanTwoHop;
    const double twoHopFactor = maxTwoHop == 0 ? 0.5 : std::min(t / maxTwoHop, 1.0);
    const double score = access + 0.25 * recency + 0.20 * degreeFactor + 0.15 * twoHopFactor +
                         0.1 * demotionTypeWeight(m.type);
    scores.push_back(score);
  }
  return scores;
}

std::vector<Memory> demotionCandidates(db::Connection& connection) {
  return queryMemories(kDemotionCandidates, {}, connection);
}

std::vector<Memory> rankDemotionCandidates(std::int64_t bytesToFree, db::Connection& connection) {
  if (bytesToFree <= 0) return {};
  std::vector<Memory> candidates;
  try {
    candidates = demotionCandidates(connection);
  } catch (const std::exception&) {
    return {};
  }
  if (candidates.empty()) return {};

  std::vector<std::optional<MemoryLinkCounts>> counts(candidates.size());
  // One read of the links serves the whole pass; a pair of queries per candidate is the
  // fallback when it fails, so that one memory's failure costs only its own counts.
  if (auto graph = LinkGraph::load(connection)) {
    for (std::size_t i = 0; i < candidates.size(); ++i) counts[i] = graph->count(candidates[i].id);
  } else {
    try {
      LinkCounter counter(connection);
      for (std::size_t i = 0; i < candidates.size(); ++i) {
        try {
          counts[i] = counter.count(candidates[i].id);
        } catch (const std::exception&) {
          // Scored with the mean counts instead.
        }
      }
    } catch (const std::exception&) {
      // Neither count can be prepared: every candidate takes the mean, which is then 0.
    }
  }

  const std::vector<double> scores = demotionScores(candidates, counts, platform::now());
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return scores[a] < scores[b]; });

  std::vector<Memory> result;
  std::int64_t freed = 0;
  for (std::size_t i : order) {
    if (freed >= bytesToFree) break;
    freed = platform::saturatingAdd(freed, estimatedBytes(candidates[i]));
    result.push_back(std::move(candidates[i]));
  }
  return result;
}

void postDemotionNotification(platform::NotificationCenter& notifications, std::int64_t count,
                              std::int64_t freedBytes) {
  notifications.post({std::string(kActiveDemotionOccurredNotification),
                      {{"count", count}, {"freedBytes", freedBytes}}});
}

}  // namespace nodrel::store
