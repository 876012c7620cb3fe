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

// The floor of recalling `text` in `project`; returns a count of what it read, so that the work
// cannot be optimised away.
inline std::size_t recallFloorOnce(db::Connection& db, std::string_view text,
                                   const std::string& project) {
  std::size_t work = 0;
  const std::vector<db::Value> bindings{db::Value(store::sanitizeFTSQuery(text)),
                                        db::Value(project)};
  // Built once: the floor holds the statement's work, not the assembly of its text.
  static const std::string fullText = store::fullTextRecallSQL(true, 0);
  db.each(fullText, bindings, [&](const db::Row& row) {
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
