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
constexpr std::string_view kSelectChildren =
    "SELECT m.id, m.body, m.tags, m.depth, m.tier, m.importance, "
    "COALESCE(mi.traversal_cost_tokens, 0) AS cost FROM memory_links ml JOIN memories m ON "
    "m.id = ml.dst_id LEFT JOIN memory_index mi ON mi.memory_id = m.id WHERE ml.src_id = ? AND "
    "ml.link_type IN ('has_child', 'contains', 'consolidates') AND m.deleted_at IS NULL ORDER "
    "BY cost ASC";
// Cold memories stay in, since surfacing a dormant memory is the point of a condition.
constexpr std::string_view kSelectConditionalMemories =
    "SELECT id, tier, body, body_tokens, project, context_path, type, tags, created_at, "
    "last_accessed, access_count, strength, importance, pinned, evidence_count, parent_id, "
    "source_session, predicted_future_use, condition_type, condition_value, surface_condition, "
    "trigger_keywords, depth, is_top_level FROM memories WHERE (condition_type IS NOT NULL OR "
    "trigger_keywords IS NOT NULL OR surface_condition IS NOT NULL) AND deleted_at IS NULL";

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

std::vector<ChildNode> childNodes(const std::string& parentID, db::Connection& db) {
  std::vector<ChildNode> children;
  for (const auto& row : db.query(kSelectChildren, {db::text(parentID)})) {
    const std::string* id = db::textOf(row[0]);
    const std::string* body = db::textOf(row[1]);
    if (id == nullptr || body == nullptr) continue;
    children.push_back({*id, *body, db::textOr(row[2]), db::integerOf(row[3]).value_or(0),
                        db::textOr(row[4]), db::integerOf(row[5]).value_or(5),
                        db::integerOf(row[6]).value_or(0)});
  }
  return children;
}

std::vector<Memory> memoriesWithConditions(db::Connection& db) {
  return queryMemories(kSelectConditionalMemories, {}, db);
}

}  // namespace nodrel::store
