// store/tasks.h: the `tasks` table, skills promoted to scripts that run without interpretation.
// Each function throws db::Error when its statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "platform/time.h"

namespace nodrel::store {

// What names a task and what it runs: what promoting a skill writes, besides the time.
struct TaskScript {
  std::string id;
  std::string skillID;
  std::string name;
  std::string displayName;
  std::string description;
  std::string scriptContent;
  std::optional<std::string> project;
  friend bool operator==(const TaskScript&, const TaskScript&) = default;
};

struct PromotedTask : TaskScript {
  platform::Instant promotedAt{};
  std::optional<platform::Instant> lastRun;
  std::int64_t runCount = 0;
  double successRate = 1.0;
  bool isActive = true;
  friend bool operator==(const PromotedTask&, const PromotedTask&) = default;
};

// The skill's active task; nothing when there is none or its row lacks a text id, skill id,
// name or readable promotion time.
std::optional<PromotedTask> activeTaskOfSkill(const std::string& skillID, db::Connection& db);

// Newest promotion first; with a project, its tasks and those of no project. Rows that do not
// read are left out.
std::vector<PromotedTask> activeTasks(const std::optional<std::string>& project,
                                      db::Connection& db);

// Writes an active task promoted at `promotedAt` (timestamp text); its run count, last run and
// success rate keep the table's defaults.
void insertTask(const TaskScript& task, const std::string& promotedAt, db::Connection& db);

}  // namespace nodrel::store
