#include "store/memory_index.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

// Deleted memories stay out of the index as out of every other read of memories.
constexpr std::string_view kSelectTopLevelIndex =
    "SELECT mi.memory_id, m.body, m.tags, mi.depth, mi.traversal_cost_tokens FROM memory_index "
    "mi JOIN memories m ON m.id = mi.memory_id WHERE mi.is_top_level = 1 AND m.deleted_at IS "
    "NULL ORDER BY mi.traversal_cost_tokens ASC";

}  // namespace

std::vector<IndexNode> topLevelIndexNodes(db::Connection& db) {
  std::vector<IndexNode> nodes;
  for (const auto& row : db.query(kSelectTopLevelIndex)) {
    const std::string* id = db::textOf(row[0]);
    const std::string* body = db::textOf(row[1]);
    if (id == nullptr || body == nullptr) continue;
    const std::string* tags = db::textOf(row[2]);
    nodes.push_back({*id, *body, tags ? *tags : std::string(), db::integerOf(row[3]).value_or(0),
                     db::integerOf(row[4]).value_or(0)});
  }
  return nodes;
}

}  // namespace nodrel::store
