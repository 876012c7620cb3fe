// tests/codeintel/failure_test_support.h: reading back what the failure recorders stored.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::testing {

// The summary memories of a database, oldest row first.
struct StoredMemory {
  std::string id, tier, body, type;
  std::optional<std::string> project, tags, contextPath, sourceSession;
  std::int64_t importance = 0;
  std::int64_t accessCount = 0;
};

inline std::optional<std::string> textOrNone(const db::Value& v) {
  if (const auto* s = db::textOf(v)) return *s;
  return std::nullopt;
}

inline std::vector<StoredMemory> storedMemories(db::Connection& c) {
  std::vector<StoredMemory> out;
  for (const auto& row :
       c.query("SELECT id, tier, body, type, project, tags, context_path, source_session, "
               "importance, access_count FROM memories ORDER BY rowid")) {
    StoredMemory m;
    m.id = textOrNone(row[0]).value_or("");
    m.tier = textOrNone(row[1]).value_or("");
    m.body = textOrNone(row[2]).value_or("");
    m.type = textOrNone(row[3]).value_or("");
    m.project = textOrNone(row[4]);
    m.tags = textOrNone(row[5]);
    m.contextPath = textOrNone(row[6]);
    m.sourceSession = textOrNone(row[7]);
    m.importance = db::integerOf(row[8]).value_or(-1);
    m.accessCount = db::integerOf(row[9]).value_or(-1);
    out.push_back(std::move(m));
  }
  return out;
}

inline std::int64_t rowCount(db::Connection& c, const std::string& table) {
  return db::integerOf(*c.scalar("SELECT COUNT(*) FROM " + table)).value_or(-1);
}

}  // namespace nodrel::testing
