// bench/recall_floor.h: the floor that no recall can beat, shared by the benchmarks that hold a
// recall against it: the full-text statement recall runs, stepped to the end, and one plain
// read of every stored vector.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "store/recall.h"

namespace nodrel::bench {

inline constexpr std::string_view kFloorFullText = R"sql(
    SELECT m.id, m.tier, m.body, m.body_tokens, m.project, m.context_path,
           m.type, m.tags, m.created_at, m.last_accessed, m.access_count,
           m.strength, m.importance, m.pinned, m.evidence_count,
           m.parent_id, m.source_session, m.predicted_future_use,
           m.condition_type, m.condition_value, m.surface_condition,
           m.trigger_keywords, m.depth, m.is_top_level,
           bm25(memories_fts) AS rank
    FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND m.project = ?
      AND m.deleted_at IS NULL
      AND m.tier != 'cold'
    ORDER BY rank
    LIMIT 50)sql";

// The floor of recalling `text` in `project`; returns a count of what it read, so that the work
// cannot be optimised away.
inline std::size_t recallFloorOnce(db::Connection& db, std::string_view text,
                                   const std::string& project) {
  std::size_t work = 0;
  const std::vector<db::Value> bindings{db::Value(store::sanitizeFTSQuery(text)),
                                        db::Value(project)};
  db.each(kFloorFullText, bindings, [&](const db::Row& row) {
    work += row.size();
    return true;
  });
  db.each("SELECT memory_id, embedding FROM memory_vectors", {}, [&](const db::Row& row) {
    if (auto blob = db::blobOf(row[1])) work += blob->bytes.size();
    return true;
  });
  return work;
}

}  // namespace nodrel::bench
