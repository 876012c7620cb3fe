#include "store/graph_traversal.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "store/in_list.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSelectEdgesFrom = R"sql(
    SELECT src_id, dst_id, weight FROM memory_links
    WHERE src_id IN ()sql";
constexpr std::string_view kSelectEdgesTo = R"sql(
    UNION
    SELECT src_id, dst_id, weight FROM memory_links
    WHERE dst_id IN ()sql";

// SQLite's historical default cap on bound parameters, the lowest any build has.
constexpr std::size_t kMaxParameters = 999;
constexpr int kMaxHops = 3;

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

template <typename T>
std::vector<T> uniqueInOrder(std::span<const T> items) {
  std::vector<T> out;
  std::unordered_set<T> seen;
  for (const auto& item : items) {
    if (seen.insert(item).second) out.push_back(item);
  }
  return out;
}

}  // namespace

std::vector<GraphTraversal::EdgeRow> GraphTraversal::fetchEdges(
    std::span<const std::string> ids, std::span<const std::string> edgeTypes) const {
  std::vector<EdgeRow> edges;
  if (ids.empty()) return edges;

  // Repeating an identifier or a type in an IN list changes nothing but the parameter count.
  const std::vector<std::string> uniqueIDs = uniqueInOrder(ids);
  const std::vector<std::string> types = uniqueInOrder(edgeTypes);
  const std::size_t perBatch =
      types.size() * 2 < kMaxParameters ? std::max<std::size_t>(1, kMaxParameters / 2 - types.size())
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
    db_->each(edgeSQL(batch.size(), types.size()), bindings, [&](const db::Row& row) {
      if (row.size() < 3) return true;
      const std::string* src = db::textOf(row[0]);
      const std::string* dst = db::textOf(row[1]);
      if (!src || !dst) return true;
      if (batched && !seen.insert(edgeKey(*src, *dst, row[2])).second) return true;
      edges.push_back({*src, *dst, db::realOf(row[2]).value_or(1.0)});
      return true;
    });
  });
  return edges;
}

std::vector<GraphHit> GraphTraversal::traverse(std::span<const std::string> seeds, int hops,
                                               std::span<const std::string> edgeTypes,
                                               std::int64_t limit) const {
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
  if (hits.size() > keep) hits.resize(keep);
  return hits;
}

}  // namespace nodrel::store
