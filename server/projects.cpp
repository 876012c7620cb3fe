#include "server/projects.h"

#include <exception>
#include <filesystem>
#include <string_view>
#include <utility>

#include "platform/uuid.h"
#include "server/log.h"
#include "server/validation.h"
#include "store/project_registry.h"

namespace nodrel::server {

std::optional<ProjectRow> fetchProject(const std::string& path, db::Connection& connection) {
  try {
    auto project = store::findProjectAtPath(path, connection);
    if (!project) return std::nullopt;
    return ProjectRow{std::move(project->id), std::move(project->name),
                      std::move(project->contextSummary)};
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
    const int inserted =
        store::registerProject({id, name, path, {}}, currentTimestamp(), connection);
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
