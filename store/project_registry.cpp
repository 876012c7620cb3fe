#include "store/project_registry.h"

#include <exception>
#include <string>
#include <string_view>
#include <utility>

#include "db/statement.h"
#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSelectProjectByPath =
    "SELECT id, name, context_summary FROM projects WHERE path = ? LIMIT 1";
constexpr std::string_view kInsertProject =
    "INSERT OR IGNORE INTO projects (id, name, path, created_at) VALUES (?, ?, ?, ?)";
constexpr std::string_view kResolveProject =
    "SELECT id, name, path, context_summary FROM projects WHERE name = ? OR path = ? LIMIT 1";
constexpr std::string_view kKnownProjects =
    "SELECT name, path FROM projects ORDER BY last_active_at DESC LIMIT 20";
constexpr std::string_view kFindProjectByPath =
    "SELECT id, name, path FROM projects WHERE path = ? LIMIT 1";
constexpr std::string_view kAllProjects = "SELECT id, name, path FROM projects";
constexpr std::string_view kLookupProjectByExactPath =
    R"sql(SELECT path, name FROM projects WHERE path = ? LIMIT 1)sql";
// Written with NULLS LAST, and without it for SQLite builds older than 3.30, which do not know it.
constexpr std::string_view kSiblingProjectsHead =
    "    SELECT p.name, p.path,\n"
    "           (SELECT COUNT(*) FROM memories m WHERE m.project = p.path AND m.deleted_at IS "
    "NULL) AS memory_count,\n"
    "           ((SELECT COUNT(*) FROM corrections c WHERE c.project_id = p.id)\n"
    "          + (SELECT COUNT(*) FROM standing_instructions s WHERE s.project_id = p.id AND "
    "s.active = 1)) AS other_activity\n"
    "    FROM projects p\n"
    "    WHERE p.path != ?\n"
    "    ORDER BY p.last_active_at DESC";
constexpr std::string_view kNullsLast = " NULLS LAST";
constexpr std::string_view kSiblingProjectsTail = "\n    LIMIT 10";

std::string siblingProjectsSQL(bool nullsLast) {
  std::string sql(kSiblingProjectsHead);
  if (nullsLast) sql += kNullsLast;
  sql += kSiblingProjectsTail;
  return sql;
}

std::optional<RegisteredProject> projectFromRow(const db::Row& row) {
  if (row.size() < 3) return std::nullopt;
  const std::string* id = db::textOf(row[0]);
  const std::string* name = db::textOf(row[1]);
  const std::string* path = db::textOf(row[2]);
  if (!id || !name || !path) return std::nullopt;
  return RegisteredProject{*id, *name, *path, {}};
}

std::vector<ProjectActivity> readSiblingProjectRows(const std::vector<db::Row>& rows) {
  std::vector<ProjectActivity> siblings;
  for (const auto& row : rows) {
    const std::string* name = db::textOf(row[0]);
    const std::string* path = db::textOf(row[1]);
    if (!name || !path) continue;
    const std::int64_t memoryCount = db::integerOf(row[2]).value_or(0);
    const std::int64_t otherActivity = db::integerOf(row[3]).value_or(0);
    if (memoryCount < 1 && otherActivity < 1) continue;
    siblings.push_back({*name, *path, memoryCount});
    if (siblings.size() == 10) break;
  }
  return siblings;
}

}  // namespace

std::optional<RegisteredProject> findProjectAtPath(const std::string& path, db::Connection& db) {
  auto rows = db.query(kSelectProjectByPath, {db::text(path)});
  if (rows.empty() || rows.front().size() < 3) return std::nullopt;
  RegisteredProject project{db::textOr(rows[0][0]), db::textOr(rows[0][1]), path,
                            db::textOr(rows[0][2])};
  if (project.id.empty()) return std::nullopt;
  return project;
}

int registerProject(const RegisteredProject& project, const std::string& createdAt,
                    db::Connection& db) {
  return db.run(kInsertProject, {db::text(project.id), db::text(project.name),
                                 db::text(project.path), db::text(createdAt)});
}

std::optional<RegisteredProject> findProjectByNameOrPath(const std::string& requested,
                                                         db::Connection& db) {
  auto rows = db.query(kResolveProject, {db::text(requested), db::text(requested)});
  if (rows.empty()) return std::nullopt;
  const db::Row& row = rows.front();
  auto column = [&](std::size_t i) { return i < row.size() ? db::textOr(row[i]) : std::string(); };
  return RegisteredProject{column(0), column(1), column(2), column(3)};
}

std::vector<RegisteredProject> recentlyActiveProjects(db::Connection& db) {
  std::vector<RegisteredProject> known;
  for (const auto& row : db.query(kKnownProjects)) {
    RegisteredProject project;
    if (row.size() > 0) project.name = db::textOr(row[0]);
    if (row.size() > 1) project.path = db::textOr(row[1]);
    known.push_back(std::move(project));
  }
  return known;
}

std::optional<RegisteredProject> findNamedProjectAtPath(const std::string& path,
                                                        db::Connection& db) {
  for (const auto& row : db.query(kFindProjectByPath, {db::text(path)})) {
    if (auto project = projectFromRow(row)) return project;
  }
  return std::nullopt;
}

std::vector<RegisteredProject> namedProjects(db::Connection& db) {
  std::vector<RegisteredProject> projects;
  for (const auto& row : db.query(kAllProjects)) {
    if (auto project = projectFromRow(row)) projects.push_back(std::move(*project));
  }
  return projects;
}

std::optional<RegisteredProject> lookupProjectAtExactPath(const std::string& path,
                                                          db::Connection& db) {
  std::optional<db::Statement> statement;
  try {
    statement.emplace(db.prepare(kLookupProjectByExactPath));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  statement->bindText(1, path);
  if (!statement->step()) return std::nullopt;
  const db::Value pathValue = statement->column(0);
  const db::Value nameValue = statement->column(1);
  const std::string* matchedPath = db::textOf(pathValue);
  const std::string* name = db::textOf(nameValue);
  if (!matchedPath || !name) return std::nullopt;
  return RegisteredProject{{}, *name, *matchedPath, {}};
}

std::vector<ProjectActivity> otherActiveProjects(const std::string& path, db::Connection& db) {
  std::vector<db::Row> rows;
  db::Statement statement = [&] {
    try {
      return db.prepare(siblingProjectsSQL(/*nullsLast=*/true));
    } catch (const std::exception&) {
      return db.prepare(siblingProjectsSQL(/*nullsLast=*/false));
    }
  }();
  statement.bindText(1, path);
  while (statement.step()) rows.push_back(statement.row());
  return readSiblingProjectRows(rows);
}

}  // namespace nodrel::store
