// store/project_registry.h: the `projects` table, the one registry of projects both programs
// read: a project by path or name, the projects known besides the current one, and registering
// a path. Every function throws db::Error when its statement fails unless it says otherwise;
// what a failed read means is the caller's to decide.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// One `projects` row as a reader gives it; a column the reader does not read is "".
struct RegisteredProject {
  std::string id;
  std::string name;
  std::string path;
  std::string contextSummary;
  friend bool operator==(const RegisteredProject&, const RegisteredProject&) = default;
};

// The project registered at exactly this path: its id, name and context summary (NULL read as
// ""), with the path asked. Nothing when there is none, or when its id is empty or NULL: such
// a row names nothing the other tables can refer to.
std::optional<RegisteredProject> findProjectAtPath(const std::string& path, db::Connection& db);

// Registers the project's id, name and path unless a row already holds that id or path; the
// number of rows inserted, 0 or 1.
int registerProject(const RegisteredProject& project, const std::string& createdAt,
                    db::Connection& db);

// The project registered under this name or at this path, every column read as "" when NULL.
std::optional<RegisteredProject> findProjectByNameOrPath(const std::string& requested,
                                                         db::Connection& db);

// Up to 20 projects, name and path only (NULL read as ""), most recently active first.
std::vector<RegisteredProject> recentlyActiveProjects(db::Connection& db);

// The project at exactly this path, when its id, name and path are all text.
std::optional<RegisteredProject> findNamedProjectAtPath(const std::string& path,
                                                        db::Connection& db);

// Every project whose id, name and path are all text, in table order.
std::vector<RegisteredProject> namedProjects(db::Connection& db);

// The name and path of the project at exactly this path, when both are text. Nothing also when
// the statement does not prepare (a database without the table); a failed step throws.
std::optional<RegisteredProject> lookupProjectAtExactPath(const std::string& path,
                                                          db::Connection& db);

// A project other than the current one that holds something: its live memories, and its
// corrections plus active standing instructions.
struct ProjectActivity {
  std::string name;
  std::string path;
  std::int64_t memoryCount = 0;
  friend bool operator==(const ProjectActivity&, const ProjectActivity&) = default;
};

// Up to 10 projects not at this path, most recently active first (never active last), leaving
// out those with no memory, correction or active instruction and those whose name or path is
// not text.
std::vector<ProjectActivity> otherActiveProjects(const std::string& path, db::Connection& db);

}  // namespace nodrel::store
