#include "store/tasks.h"

#include <string_view>
#include <utility>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSelectActiveTaskBySkill =
    "SELECT id, skill_id, name, display_name, description, script_content, project, "
    "promoted_at, last_run, run_count, success_rate, active FROM tasks WHERE skill_id = ? AND "
    "active = 1 LIMIT 1";
constexpr std::string_view kSelectActiveTasksOfProject =
    "SELECT id, skill_id, name, display_name, description, script_content, project, "
    "promoted_at, last_run, run_count, success_rate, active FROM tasks WHERE active = 1 AND "
    "(project = ? OR project IS NULL) ORDER BY promoted_at DESC";
constexpr std::string_view kSelectActiveTasks =
    "SELECT id, skill_id, name, display_name, description, script_content, project, "
    "promoted_at, last_run, run_count, success_rate, active FROM tasks WHERE active = 1 ORDER "
    "BY promoted_at DESC";
constexpr std::string_view kInsertTask =
    "INSERT INTO tasks (id, skill_id, name, display_name, description, script_content, "
    "project, promoted_at, active) VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1)";

std::optional<PromotedTask> taskFromRow(const db::Row& row) {
  if (row.size() < 12) return std::nullopt;
  const std::string* id = db::textOf(row[0]);
  const std::string* skillID = db::textOf(row[1]);
  const std::string* name = db::textOf(row[2]);
  const std::string* promotedAt = db::textOf(row[7]);
  if (!id || !skillID || !name || !promotedAt) return std::nullopt;
  const auto& formatter = platform::sharedTimestampFormatter();
  auto promoted = formatter.parse(*promotedAt);
  if (!promoted) return std::nullopt;
  PromotedTask task;
  task.id = *id;
  task.skillID = *skillID;
  task.name = *name;
  task.displayName = db::textOr(row[3]);
  task.description = db::textOr(row[4]);
  task.scriptContent = db::textOr(row[5]);
  task.project = db::optionalTextOf(row[6]);
  task.promotedAt = *promoted;
  if (const std::string* lastRun = db::textOf(row[8])) task.lastRun = formatter.parse(*lastRun);
  task.runCount = db::integerOf(row[9]).value_or(0);
  task.successRate = db::realOf(row[10]).value_or(1.0);
  const auto active = db::integerOf(row[11]);
  task.isActive = !active || *active == 1;
  return task;
}

}  // namespace

std::optional<PromotedTask> activeTaskOfSkill(const std::string& skillID, db::Connection& db) {
  auto rows = db.query(kSelectActiveTaskBySkill, {db::text(skillID)});
  if (rows.empty()) return std::nullopt;
  return taskFromRow(rows.front());
}

std::vector<PromotedTask> activeTasks(const std::optional<std::string>& project,
                                      db::Connection& db) {
  std::vector<db::Row> rows = project ? db.query(kSelectActiveTasksOfProject, {db::text(*project)})
                                      : db.query(kSelectActiveTasks);
  std::vector<PromotedTask> tasks;
  for (const auto& row : rows) {
    if (auto task = taskFromRow(row)) tasks.push_back(std::move(*task));
  }
  return tasks;
}

void insertTask(const TaskScript& task, const std::string& promotedAt, db::Connection& db) {
  db.run(kInsertTask,
         {db::text(task.id), db::text(task.skillID), db::text(task.name),
          db::text(task.displayName), db::text(task.description), db::text(task.scriptContent),
          db::optionalText(task.project), db::text(promotedAt)});
}

}  // namespace nodrel::store
