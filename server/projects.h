// server/projects.h: the `projects` rows that the server reads by path and registers when a
// project is first written to. Both absorb database failures with one diagnostic line.
#pragma once

#include <optional>
#include <string>

#include "db/connection.h"

namespace nodrel::server {

struct ProjectRow {
  std::string id;
  std::string name;
  std::string contextSummary;  // "" when NULL
  friend bool operator==(const ProjectRow&, const ProjectRow&) = default;
};

// The project registered at exactly this path. Nothing when there is none, when its id is
// empty or NULL (such a row names nothing the other tables can refer to), or when the query
// fails ("[nodrel-mcp] fetchProject error: ").
std::optional<ProjectRow> fetchProject(const std::string& path, db::Connection& connection);

// The path's display name: its last component that is neither empty nor "/", or the whole
// path when it has none ("/").
std::string projectDisplayName(const std::string& path);

// The id of the project at this path, registering it first when it has no row. Never throws;
// when registration fails the returned id may name no row, and the caller's own insert reports
// that.
std::string ensureProject(const std::string& path, db::Connection& connection);

}  // namespace nodrel::server
