// store/memory_index.h: the reads behind the memory index: the `memory_index` table (the
// always-on map of top-level memories and what expanding each would cost), the children below a
// node, and the memories that carry a condition to surface on. Each function throws db::Error
// when its statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "store/memory.h"

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

// One memory linked below another by "has_child", "contains" or "consolidates".
struct ChildNode {
  std::string memoryID;
  std::string body;  // the whole body; callers show a prefix of it
  std::string tags;  // "" when NULL
  std::int64_t depth = 0;
  std::string tier;              // "" when NULL
  std::int64_t importance = 5;   // 5 when not an integer
  std::int64_t indexedCost = 0;  // the index's traversal cost, 0 when the node has none
  friend bool operator==(const ChildNode&, const ChildNode&) = default;
};

// The live children of `parentID`, cheapest by the index first; a child whose id or body is not
// text is left out.
std::vector<ChildNode> childNodes(const std::string& parentID, db::Connection& db);

// Every live memory, cold ones included, with a condition, trigger keywords or a surface rule.
std::vector<Memory> memoriesWithConditions(db::Connection& db);

}  // namespace nodrel::store
