#include "store/graph_traversal.h"

#include <algorithm>
#include <bit>
#include <compare>
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "store/in_list.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSelectEdgesFrom = R"sql(
    SELECT src_id, dst_id, weight FROM memory_links
    WHERE src_id IN ()sql";
// UNION ALL, not UNION: SQLite's UNION de-duplicates through a temporary b-tree that cost more
// than the index reads themselves; the rows are sorted and made unique in memory instead.
constexpr std::string_view kSelectEdgesTo = R"sql(
    UNION ALL
    SELECT src_id, dst_id, weight FROM memory_links
    WHERE dst_id IN ()sql";

// The reached identifiers that name another project's memory. Identifiers with no memory row
// (code files) are the caller's to filter, as without a project.
constexpr std::string_view kSelectOfOtherProjects = R"sql(
    SELECT id FROM memories
    WHERE project IS NOT NULL AND project != ?
      AND id IN ()sql";

// SQLite's historical default cap on bound parameters, the lowest any build has.
constexpr std::size_t kMaxParameters = 999;
constexpr int kMaxHops = 3;
// A hop reads the links of at most this many frontier nodes, the best scored. Ordinary text
// links a memory to dozens of others, so an unbounded second hop read seeds x degree x degree
// links, and the walk keeps no more than 50 hits anyway.
constexpr std::size_t kMaxExpandedPerHop = 50;

std::string edgeSQL(std::size_t idCount, std::size_t typeCount) {
  std::string types;
  if (typeCount > 0) types = " AND link_type IN (" + sqlPlaceholders(typeCount) + ")";
  const std::string ids = sqlPlaceholders(idCount);
  std::string sql;
  sql.append(kSelectEdgesFrom.substr(1)).append(ids).append(")").append(types);
  sql.append(kSelectEdgesTo).append(ids).append(")").append(types);
  return sql;
}

// What UNION compares, so rows met in two batches are kept once, as one statement would.
std::string edgeKey(const std::string& src, const std::string& dst, const db::Value& weight) {
  std::string key = src;
  key.push_back('\0');
  key += dst;
  key.push_back('\0');
  auto appendNumber = [&key](double d) {
    const auto bits = std::bit_cast<std::uint64_t>(d);
    key += 'n';
    key.append(reinterpret_cast<const char*>(&bits), sizeof bits);
  };
  if (auto r = db::realOf(weight)) {
    appendNumber(*r);
  } else if (auto i = db::integerOf(weight)) {
    appendNumber(static_cast<double>(*i));
  } else if (auto t = db::textOf(weight)) {
    key += 't' + *t;
  } else if (auto b = db::blobOf(weight)) {
    key += 'b' + b->bytes;
  } else {
    key += 'z';
  }
  return key;
}

// SQLite's order of values: NULL, then numbers by value, then text and blobs by their bytes
// (the columns have no collation, so text compares as BINARY).
int storageRank(const db::Value& v) {
  if (db::isNull(v)) return 0;
  if (db::textOf(v)) return 2;
  if (db::blobOf(v)) return 3;
  return 1;
}

std::weak_ordering compareNumbers(const db::Value& a, const db::Value& b) {
  const auto ai = db::integerOf(a);
  const auto bi = db::integerOf(b);
  if (ai && bi) return *ai <=> *bi;
  const long double x = ai ? static_cast<long double>(*ai) : *db::realOf(a);
  const long double y = bi ? static_cast<long double>(*bi) : *db::realOf(b);
  return x < y   ? std::weak_ordering::less
         : y < x ? std::weak_ordering::greater
                 : std::weak_ordering::equivalent;
}

std::weak_ordering compareValues(const db::Value& a, const db::Value& b) {
  if (auto c = storageRank(a) <=> storageRank(b); c != 0) return c;
  switch (storageRank(a)) {
    case 1:
      return compareNumbers(a, b);
    case 2:
      return *db::textOf(a) <=> *db::textOf(b);
    case 3:
      return db::blobOf(a)->bytes <=> db::blobOf(b)->bytes;
    default:
      return std::weak_ordering::equivalent;
  }
}

struct FetchedEdge {
  std::string src;
  std::string dst;
  db::Value weight;
};

std::weak_ordering compareEdges(const FetchedEdge& a, const FetchedEdge& b) {
  if (auto c = a.src <=> b.src; c != 0) return c;
  if (auto c = a.dst <=> b.dst; c != 0) return c;
  return compareValues(a.weight, b.weight);
}

template <typename T>
std::vector<T> uniqueInOrder(std::span<const T> items) {
  std::vector<T> out;
  std::unordered_set<T> seen;
  for (const auto& item : items) {
    if (seen.insert(item).second) out.push_back(item);
  }
  return out;
}

// Of `hits`, the identifiers of memories of a project other than `project`.
std::unordered_set<std::string> otherProjectsAmong(std::span<const GraphHit> hits,
                                                   const std::string& project,
                                                   db::Connection& connection) {
  std::vector<std::string> reached;
  reached.reserve(hits.size());
  for (const auto& hit : hits) reached.push_back(hit.id);
  std::unordered_set<std::string> foreign;
  forEachBatch<std::string>(reached, kInListBatchSize, [&](std::span<const std::string> batch) {
    std::string sql(kSelectOfOtherProjects.substr(1));
    sql += sqlPlaceholders(batch.size());
    sql += ")";
    std::vector<db::Value> bindings;
    bindings.reserve(batch.size() + 1);
    bindings.emplace_back(project);
    bindings.insert(bindings.end(), batch.begin(), batch.end());
    connection.each(sql, bindings, [&](const db::Row& row) {
      if (const std::string* id = row.empty() ? nullptr : db::textOf(row[0])) foreign.insert(*id);
      return true;
    });
  });
  return foreign;
}

// The best `keep` of the sorted `hits` that are not another project's memories. They are asked
// about best first, twice the limit at a time and then as many again as were asked: a walk
// reaches hundreds of memories, and looking each one up cost more than the rest of the walk,
// when only those that can make the cut matter. The order is total, so the answer is the one
// that dropping every other project's memory before the cut gives.
std::vector<GraphHit> bestOfProject(std::vector<GraphHit> hits, std::size_t keep,
                                    const std::string& project, db::Connection& connection) {
  std::vector<GraphHit> kept;
  for (std::size_t asked = 0; kept.size() < keep && asked < hits.size();) {
    const std::size_t step = std::max(2 * keep, asked);
    const std::size_t upTo = hits.size() - asked > step ? asked + step : hits.size();
    const std::span<const GraphHit> slice(hits.data() + asked, upTo - asked);
    const auto foreign = otherProjectsAmong(slice, project, connection);
    for (auto& hit : std::span<GraphHit>(hits.data() + asked, upTo - asked)) {
      if (kept.size() >= keep) break;
      if (!foreign.contains(hit.id)) kept.push_back(std::move(hit));
    }
    asked = upTo;
  }
  return kept;
}

// Cuts the frontier to the kMaxExpandedPerHop identifiers of highest score, equal scores in
// frontier order; the kept ones stay in frontier order, each once.
void keepBestScored(std::vector<std::string>& frontierIDs,
                    std::unordered_map<std::string, double>& parentScores) {
  std::vector<std::string> ranked = uniqueInOrder<std::string>(frontierIDs);
  std::stable_sort(ranked.begin(), ranked.end(), [&](const std::string& a, const std::string& b) {
    return parentScores.at(a) > parentScores.at(b);
  });
  ranked.resize(kMaxExpandedPerHop);
  const std::unordered_set<std::string> kept(ranked.begin(), ranked.end());
  std::erase_if(frontierIDs, [&](const std::string& id) { return !kept.contains(id); });
  std::erase_if(parentScores, [&](const auto& entry) { return !kept.contains(entry.first); });
}

}  // namespace

std::vector<GraphTraversal::EdgeRow> GraphTraversal::fetchEdges(
    std::span<const std::string> ids, std::span<const std::string> edgeTypes) const {
  std::vector<EdgeRow> edges;
  if (ids.empty()) return edges;

  // Repeating an identifier or a type in an IN list changes nothing but the parameter count.
  const std::vector<std::string> uniqueIDs = uniqueInOrder(ids);
  const std::vector<std::string> types = uniqueInOrder(edgeTypes);
  const std::size_t perBatch = types.size() * 2 < kMaxParameters
                                   ? std::max<std::size_t>(1, kMaxParameters / 2 - types.size())
                                   : 1;
  const bool batched = uniqueIDs.size() > perBatch;
  std::unordered_set<std::string> seen;

  forEachBatch<std::string>(uniqueIDs, perBatch, [&](std::span<const std::string> batch) {
    std::vector<db::Value> bindings;
    bindings.reserve(2 * (batch.size() + types.size()));
    for (int half = 0; half < 2; ++half) {
      for (const auto& id : batch) bindings.emplace_back(id);
      for (const auto& type : types) bindings.emplace_back(type);
    }
    // The rows a UNION statement gives, in the order its b-tree gives them: sorted by
    // (src, dst, weight), each once. The order decides which score a node reached twice in
    // one hop carries into the next.
    std::vector<FetchedEdge> rows;
    db_->each(edgeSQL(batch.size(), types.size()), bindings, [&](const db::Row& row) {
      if (row.size() < 3) return true;
      const std::string* src = db::textOf(row[0]);
      const std::string* dst = db::textOf(row[1]);
      if (!src || !dst) return true;
      rows.push_back({*src, *dst, row[2]});
      return true;
    });
    std::sort(rows.begin(), rows.end(),
              [](const FetchedEdge& a, const FetchedEdge& b) { return compareEdges(a, b) < 0; });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [](const FetchedEdge& a, const FetchedEdge& b) {
                             return compareEdges(a, b) == 0;
                           }),
               rows.end());
    for (auto& row : rows) {
      if (batched && !seen.insert(edgeKey(row.src, row.dst, row.weight)).second) continue;
      const double weight = db::realOf(row.weight).value_or(1.0);
      edges.push_back({std::move(row.src), std::move(row.dst), weight});
    }
  });
  return edges;
}

std::vector<GraphHit> GraphTraversal::traverse(std::span<const std::string> seeds, int hops,
                                               std::span<const std::string> edgeTypes,
                                               std::int64_t limit,
                                               const std::optional<std::string>& project) const {
  if (seeds.empty()) return {};
  const int hopLimit = std::clamp(hops, 1, kMaxHops);

  std::unordered_set<std::string> visited(seeds.begin(), seeds.end());
  std::unordered_map<std::string, double> scores;
  std::vector<std::pair<std::string, double>> frontier;
  frontier.reserve(seeds.size());
  for (const auto& seed : seeds) frontier.emplace_back(seed, 1.0);

  for (int hop = 1; hop <= hopLimit && !frontier.empty(); ++hop) {
    const double decay = 1.0 / static_cast<double>(1 << hop);

    std::unordered_map<std::string, double> parentScores;
    std::vector<std::string> frontierIDs;
    frontierIDs.reserve(frontier.size());
    for (const auto& [id, score] : frontier) {
      frontierIDs.push_back(id);
      auto [it, inserted] = parentScores.emplace(id, score);
      if (!inserted && score > it->second) it->second = score;
    }
    if (parentScores.size() > kMaxExpandedPerHop) keepBestScored(frontierIDs, parentScores);

    const std::vector<EdgeRow> edges = fetchEdges(frontierIDs, edgeTypes);

    std::vector<std::pair<std::string, double>> next;
    for (const auto& edge : edges) {
      const bool forward = parentScores.contains(edge.srcID);
      const std::string& neighbour = forward ? edge.dstID : edge.srcID;
      const std::string& parent = forward ? edge.srcID : edge.dstID;
      auto parentIt = parentScores.find(parent);
      const double parentScore = parentIt == parentScores.end() ? 1.0 : parentIt->second;
      const double candidate = decay * (edge.weight * parentScore);

      if (visited.insert(neighbour).second) {
        // `candidate > 0` is false for NaN too, so an undefined score counts as 0.
        const double score = candidate > 0.0 ? candidate : 0.0;
        scores[neighbour] = score;
        next.emplace_back(neighbour, score);
      } else if (auto it = scores.find(neighbour); it != scores.end() && it->second < candidate) {
        it->second = candidate;
      }
    }
    frontier = std::move(next);
  }
  std::vector<GraphHit> hits;
  hits.reserve(scores.size());
  for (auto& [id, score] : scores) hits.push_back({id, score});
  // Equal scores are ordered by identifier, so one store always gives one answer.
  std::sort(hits.begin(), hits.end(), [](const GraphHit& a, const GraphHit& b) {
    return a.score != b.score ? a.score > b.score : a.id < b.id;
  });
  const auto keep = static_cast<std::size_t>(std::max<std::int64_t>(limit, 0));
  // Scoped after the walk, before the cut, so another project's memories take no place of the
  // limit.
  if (project && !hits.empty()) return bestOfProject(std::move(hits), keep, *project, *db_);
  if (hits.size() > keep) hits.resize(keep);
  return hits;
}

}  // namespace nodrel::store
