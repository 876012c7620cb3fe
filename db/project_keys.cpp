#include "db/project_keys.h"

#include <array>
#include <string>
#include <string_view>

#include "platform/paths.h"

namespace nodrel::db {
namespace {

// Raised past 0 once the keys are migrated; a database made or migrated since holds keys only.
constexpr std::int64_t kProjectKeysVersion = 1;
constexpr std::string_view kReadVersion = "PRAGMA user_version";
constexpr std::string_view kMarkMigrated = "PRAGMA user_version = 1";

// The columns that hold a project directory as text.
struct PathColumn {
  std::string_view selectDistinct;
  std::string_view rewrite;
};
constexpr std::array<PathColumn, 4> kPathColumns = {{
    {R"sql(SELECT DISTINCT project FROM memories WHERE project LIKE '/%')sql",
     R"sql(UPDATE memories SET project = ? WHERE project = ?)sql"},
    {R"sql(SELECT DISTINCT project FROM mem_scenes WHERE project LIKE '/%')sql",
     R"sql(UPDATE mem_scenes SET project = ? WHERE project = ?)sql"},
    {R"sql(SELECT DISTINCT project FROM tasks WHERE project LIKE '/%')sql",
     R"sql(UPDATE tasks SET project = ? WHERE project = ?)sql"},
    {R"sql(SELECT DISTINCT project_path FROM checkpoints WHERE project_path LIKE '/%')sql",
     R"sql(UPDATE checkpoints SET project_path = ? WHERE project_path = ?)sql"},
}};

constexpr std::string_view kSelectProjects = R"sql(
  SELECT id, path FROM projects WHERE path LIKE '/%' ORDER BY created_at, rowid)sql";
constexpr std::string_view kSelectProjectAtPath =
    R"sql(SELECT id FROM projects WHERE path = ? LIMIT 1)sql";
constexpr std::string_view kRenameProject = R"sql(UPDATE projects SET path = ? WHERE id = ?)sql";
constexpr std::string_view kKeepContextSummary = R"sql(
  UPDATE projects SET context_summary = (SELECT context_summary FROM projects WHERE id = ?2)
  WHERE id = ?1 AND (context_summary IS NULL OR context_summary = ''))sql";
// What refers to a project by its id follows the row it is merged into.
constexpr std::array<std::string_view, 4> kRepointProjectIDs = {
    R"sql(UPDATE corrections SET project_id = ?1 WHERE project_id = ?2)sql",
    R"sql(UPDATE standing_instructions SET project_id = ?1 WHERE project_id = ?2)sql",
    R"sql(UPDATE session_stats SET project_id = ?1 WHERE project_id = ?2)sql",
    R"sql(UPDATE session_context SET project_id = ?1 WHERE project_id = ?2)sql",
};
constexpr std::string_view kDeleteProject = R"sql(DELETE FROM projects WHERE id = ?)sql";

void migratePathColumn(Connection& connection, const PathColumn& column) {
  for (const Row& row : connection.query(column.selectDistinct)) {
    const std::string* path = textOf(row[0]);
    if (path == nullptr) continue;
    const std::string key = platform::normaliseProjectPath(*path);
    if (key != *path) connection.run(column.rewrite, {text(key), text(*path)});
  }
}

void migrateProjects(Connection& connection) {
  for (const Row& row : connection.query(kSelectProjects)) {
    const std::string* id = textOf(row[0]);
    const std::string* path = textOf(row[1]);
    if (id == nullptr || path == nullptr) continue;
    const std::string key = platform::normaliseProjectPath(*path);
    if (key == *path) continue;
    const auto kept = connection.query(kSelectProjectAtPath, {text(key)});
    const std::string* keptID = kept.empty() ? nullptr : textOf(kept[0][0]);
    if (keptID == nullptr) {
      connection.run(kRenameProject, {text(key), text(*id)});
      continue;
    }
    for (std::string_view repoint : kRepointProjectIDs) {
      connection.run(repoint, {text(*keptID), text(*id)});
    }
    connection.run(kKeepContextSummary, {text(*keptID), text(*id)});
    connection.run(kDeleteProject, {text(*id)});
  }
}

}  // namespace

bool projectKeysNeedMigration(Connection& connection) {
  const auto version = connection.scalar(kReadVersion);
  return !version || integerOf(*version).value_or(0) < kProjectKeysVersion;
}

void migrateProjectKeys(Connection& connection) {
  if (!projectKeysNeedMigration(connection)) return;
  for (const PathColumn& column : kPathColumns) migratePathColumn(connection, column);
  migrateProjects(connection);
  connection.exec(kMarkMigrated);
}

}  // namespace nodrel::db
