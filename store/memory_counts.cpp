#include "store/memory_counts.h"

#include <exception>
#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kCountProjectMemories =
    "SELECT COUNT(*) FROM memories WHERE project = ? AND (deleted_at IS NULL)";

constexpr std::string_view kCountMemoriesByTier =
    R"sql(SELECT tier, COUNT(*) FROM memories WHERE deleted_at IS NULL GROUP BY tier)sql";

// A database that is not (yet) nodrel's has no `memories` table, and preparing is where that
// shows.
std::optional<db::Statement> prepareIfStored(db::Connection& db, std::string_view sql) {
  try {
    return db.prepare(sql);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::int64_t countProjectMemories(const std::string& project, db::Connection& db) {
  const auto value = db.scalar(kCountProjectMemories, {db::text(project)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

std::optional<std::int64_t> countProjectMemoriesIfStored(const std::string& project,
                                                         db::Connection& db) {
  auto statement = prepareIfStored(db, kCountProjectMemories);
  if (!statement) return std::nullopt;
  statement->bindText(1, project);
  if (!statement->step()) return 0;
  return db::integerOf(statement->column(0)).value_or(0);
}

std::optional<std::map<std::string, std::int64_t>> countMemoriesByTier(db::Connection& db) {
  auto statement = prepareIfStored(db, kCountMemoriesByTier);
  if (!statement) return std::nullopt;
  std::map<std::string, std::int64_t> counts;
  while (statement->step()) {
    const db::Value tierValue = statement->column(0);
    const std::string* tier = db::textOf(tierValue);
    const auto count = db::integerOf(statement->column(1));
    if (tier && count) counts[*tier] = *count;
  }
  return counts;
}

}  // namespace nodrel::store
