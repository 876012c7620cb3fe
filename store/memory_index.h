// store/memory_index.h: the `memory_index` table, the always-on map of top-level memories
// and what expanding each would cost. Throws db::Error when the statement fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

struct IndexNode {
  std::string memoryID;
  std::string body;  // the whole body; callers show a prefix of it
  std::string tags;  // "" when NULL
  std::int64_t depth = 0;
  std::int64_t traversalCostTokens = 0;
  friend bool operator==(const IndexNode&, const IndexNode&) = default;
};

// The top-level nodes whose memory is not deleted, cheapest to expand first; a node whose id
// or body is not text is left out.
std::vector<IndexNode> topLevelIndexNodes(db::Connection& db);

}  // namespace nodrel::store
