#include "store/memory_admin.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kListMemories = R"sql(
  SELECT id, tier, type, project, created_at, body, deleted_at FROM memories
  WHERE (?1 IS NULL OR project = ?1) AND (?2 = 1 OR deleted_at IS NULL)
  ORDER BY created_at DESC, rowid DESC
  LIMIT ?3)sql";

// Ids are lower-case hexadecimal, so a prefix holds no GLOB wildcard.
constexpr std::string_view kMemoriesByIdPrefix = R"sql(
  SELECT id, tier, type, project, created_at, body, deleted_at FROM memories
  WHERE id GLOB ?1 || '*'
  LIMIT 2)sql";

constexpr std::string_view kForgetMemory = R"sql(
  UPDATE memories SET deleted_at = ? WHERE id = ? AND deleted_at IS NULL)sql";

ListedMemory listedMemory(const db::Row& row) {
  return ListedMemory{
      .id = db::textOr(row[0], ""),
      .tier = db::textOr(row[1], "?"),
      .type = db::textOr(row[2], "?"),
      .project = db::optionalTextOf(row[3]),
      .createdAt = db::textOr(row[4], ""),
      .body = db::textOr(row[5], ""),
      .deletedAt = db::optionalTextOf(row[6]),
  };
}

std::vector<ListedMemory> listedRows(const std::vector<db::Row>& rows) {
  std::vector<ListedMemory> memories;
  for (const db::Row& row : rows) memories.push_back(listedMemory(row));
  return memories;
}

}  // namespace

std::vector<ListedMemory> listedMemories(const std::optional<std::string>& project,
                                         bool includeDeleted, std::int64_t limit,
                                         db::Connection& db) {
  return listedRows(db.query(
      kListMemories, {db::optionalText(project), std::int64_t{includeDeleted ? 1 : 0}, limit}));
}

std::vector<ListedMemory> memoriesWithIdPrefix(const std::string& prefix, db::Connection& db) {
  return listedRows(db.query(kMemoriesByIdPrefix, {db::text(prefix)}));
}

bool forgetMemory(const std::string& id, const std::string& deletedAt, db::Connection& db) {
  return db.run(kForgetMemory, {db::text(deletedAt), db::text(id)}) > 0;
}

}  // namespace nodrel::store
