#include "server/projects.h"

#include <exception>
#include <filesystem>
#include <string_view>

#include "platform/uuid.h"
#include "server/log.h"
#include "server/validation.h"

namespace nodrel::server {
namespace {

constexpr std::string_view kSelectProjectByPath =
    "SELECT id, name, context_summary FROM projects WHERE path = ? LIMIT 1";
constexpr std::string_view kInsertProject =
    "INSERT OR IGNORE INTO projects (id, name, path, created_at) VALUES (?, ?, ?, ?)";

std::string textOrEmpty(const db::Value& value) {
  const std::string* text = db::textOf(value);
  return text ? *text : std::string();
}

}  // namespace

std::optional<ProjectRow> fetchProject(const std::string& path, db::Connection& connection) {
  try {
    auto rows = connection.query(kSelectProjectByPath, {db::text(path)});
    if (rows.empty() || rows.front().size() < 3) return std::nullopt;
    ProjectRow project{textOrEmpty(rows[0][0]), textOrEmpty(rows[0][1]), textOrEmpty(rows[0][2])};
    if (project.id.empty()) return std::nullopt;
    return project;
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] fetchProject error: ") + e.what());
    return std::nullopt;
  }
}

std::string projectDisplayName(const std::string& path) {
  std::string name;
  for (const auto& component : std::filesystem::path(path)) {
    const std::string text = component.string();
    if (!text.empty() && text != "/") name = text;
  }
  return name.empty() ? path : name;
}

std::string ensureProject(const std::string& path, db::Connection& connection) {
  if (auto project = fetchProject(path, connection)) return project->id;
  const std::string id = platform::makeUUID();
  const std::string name = projectDisplayName(path);
  try {
    const int inserted = connection.run(
        kInsertProject,
        {db::text(id), db::text(name), db::text(path), db::text(currentTimestamp())});
    logLine("[nodrel-mcp] project registered: " + name + " (" + id + ")");
    if (inserted > 0) return id;
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] ensureProject error: ") + e.what());
  }
  // Nothing inserted (a constraint ignored it, or the insert failed): the row that is there,
  // if any, is the one the caller's own rows must refer to.
  if (auto project = fetchProject(path, connection)) return project->id;
  return id;
}

}  // namespace nodrel::server
