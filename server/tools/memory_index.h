// server/tools/memory_index.h: the three read-only tools over memories with surfacing
// conditions, child links and the memory index: matching conditions, expanding a node and the
// index itself. None of them writes, not even access counts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/memory.h"
#include "store/surface_condition.h"

namespace nodrel::server {

// The most children one expansion lists: the walk recurses once per listed child, so this also
// bounds its depth when child links form a cycle.
inline constexpr std::int64_t kMaxExpandedChildren = 1000;

nlohmann::json matchConditions(db::Connection& connection,
                               const store::SurfaceConditionContext& context, std::int64_t limit);
nlohmann::json expandNode(db::Connection& connection, const std::string& memoryID,
                          std::int64_t maxDepth, std::int64_t limit);
nlohmann::json getIndex(db::Connection& connection);

// Twelve keys, the score rounded to three decimals.
nlohmann::json matchedMemoryJSON(const store::Memory& memory, double score);
// The live memory with the id; nothing when there is none or the query fails (one line).
std::optional<store::Memory> fetchMemoryByID(const std::string& id, db::Connection& connection);
// Appends the children of `parentID`, cheapest first, depth-first, until `limit` entries are
// listed (then sets `truncated`) or `maxDepth` is reached.
void fetchChildNodes(const std::string& parentID, std::int64_t depth, std::int64_t maxDepth,
                     std::int64_t limit, std::vector<nlohmann::json>& list, bool& truncated,
                     db::Connection& connection);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& matchConditionsTool();
const ToolSpec& expandNodeTool();
const ToolSpec& getIndexTool();

}  // namespace nodrel::server
