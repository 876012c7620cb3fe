// store/graph_traversal.h: the graph signal of recall. From seed memories it walks
// `memory_links` breadth first in both directions, scoring every memory it reaches by hop
// distance and link weights. A returned identifier may name a deleted or cold memory, or no
// memory at all (links to code files): the caller filters. Only another project's memories are
// left out here, when a project is given.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

struct GraphHit {
  std::string id;
  double score = 0.0;
  friend bool operator==(const GraphHit&, const GraphHit&) = default;
};

class GraphTraversal {
 public:
  struct EdgeRow {
    std::string srcID;
    std::string dstID;
    double weight = 1.0;  // a NULL or non-real weight reads as 1.0
    friend bool operator==(const EdgeRow&, const EdgeRow&) = default;
  };

  // The connection is the caller's and must outlive the traversal.
  explicit GraphTraversal(db::Connection& db) : db_(&db) {}

  // The memories reached from `seeds` within `hops` (clamped to 1..3) links, best first, at
  // most `limit` (negative counts as 0). Seeds are never scored. Empty `edgeTypes` follows
  // links of every type. A hop follows the links of at most the 50 best-scored nodes of its
  // frontier (equal scores in frontier order). With a project, the walk still crosses every link,
  // but no memory of another project is returned (global memories, with no project, are). Throws
  // db::Error when the links or the memories' projects cannot be read; nothing is returned.
  std::vector<GraphHit> traverse(std::span<const std::string> seeds, int hops,
                                 std::span<const std::string> edgeTypes, std::int64_t limit,
                                 const std::optional<std::string>& project = std::nullopt) const;

  // Every link that starts or ends at one of `ids`, optionally only of `edgeTypes`; identical
  // (source, destination, weight) rows come back once. Rows with a non-text end are skipped.
  // Throws db::Error.
  std::vector<EdgeRow> fetchEdges(std::span<const std::string> ids,
                                  std::span<const std::string> edgeTypes) const;

 private:
  db::Connection* db_;
};

}  // namespace nodrel::store
