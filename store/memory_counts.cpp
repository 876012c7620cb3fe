#include "store/memory_counts.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kCountProjectMemories =
    "SELECT COUNT(*) FROM memories WHERE project = ? AND (deleted_at IS NULL)";

}  // namespace

std::int64_t countProjectMemories(const std::string& project, db::Connection& db) {
  const auto value = db.scalar(kCountProjectMemories, {db::text(project)});
  return value ? db::integerOf(*value).value_or(0) : 0;
}

}  // namespace nodrel::store
