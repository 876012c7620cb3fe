#include "server/task_promoter.h"

#include <charconv>
#include <string_view>

#include "platform/uuid.h"

namespace nodrel::server {
namespace {

constexpr std::string_view kSelectActiveTaskBySkill =
    "SELECT id, skill_id, name, display_name, description, script_content, project, "
    "promoted_at, last_run, run_count, success_rate, active FROM tasks WHERE skill_id = ? AND "
    "active = 1 LIMIT 1";
constexpr std::string_view kSelectSkill =
    "SELECT id, name, display_name, description, content, learned_from, confidence, use_count "
    "FROM skills WHERE id = ? LIMIT 1";
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

constexpr double kMinimumConfidence = 0.8;
constexpr std::int64_t kMinimumUseCount = 5;

std::string textOr(const db::Value& value, std::string fallback = "") {
  const std::string* text = db::textOf(value);
  return text ? *text : fallback;
}

std::optional<std::string> optionalText(const db::Value& value) {
  if (const std::string* text = db::textOf(value)) return *text;
  return std::nullopt;
}

}  // namespace

TaskPromoterError TaskPromoterError::skillNotFound(const std::string& skillID) {
  return {Kind::SkillNotFound, skillID, "Skill not found: " + skillID};
}
TaskPromoterError TaskPromoterError::criteriaNotMet(const std::string& message) {
  return {Kind::CriteriaNotMet, message, "Promotion criteria not met: " + message};
}
TaskPromoterError TaskPromoterError::insertFailed() {
  return {Kind::InsertFailed, "", "Task row was not found after INSERT \u2014 this is a bug"};
}

std::string shortestDecimal(double value) {
  char buffer[64];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, ec == std::errc() ? end : buffer);
  if (text.find_first_not_of("-0123456789") == std::string::npos) text += ".0";
  return text;
}

std::optional<PromotedTask> TaskPromoter::taskFromRow(const db::Row& row) {
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
  task.displayName = textOr(row[3]);
  task.description = textOr(row[4]);
  task.scriptContent = textOr(row[5]);
  task.project = optionalText(row[6]);
  task.promotedAt = *promoted;
  if (const std::string* lastRun = db::textOf(row[8])) task.lastRun = formatter.parse(*lastRun);
  task.runCount = db::integerOf(row[9]).value_or(0);
  task.successRate = db::realOf(row[10]).value_or(1.0);
  const auto active = db::integerOf(row[11]);
  task.isActive = !active || *active == 1;
  return task;
}

std::optional<PromotedTask> TaskPromoter::fetchActiveTask(const std::string& skillID) {
  auto rows = connection_.query(kSelectActiveTaskBySkill, {db::text(skillID)});
  if (rows.empty()) return std::nullopt;
  return taskFromRow(rows.front());
}

std::optional<TaskPromoter::SkillRow> TaskPromoter::fetchSkill(const std::string& skillID) {
  auto rows = connection_.query(kSelectSkill, {db::text(skillID)});
  if (rows.empty()) return std::nullopt;
  const db::Row& row = rows.front();
  SkillRow skill;
  skill.id = textOr(row[0]);
  skill.name = textOr(row[1]);
  skill.displayName = textOr(row[2]);
  skill.description = textOr(row[3]);
  skill.content = textOr(row[4]);
  skill.project = optionalText(row[5]);
  skill.confidence = db::realOf(row[6]).value_or(0.0);
  skill.useCount = db::integerOf(row[7]).value_or(0);
  return skill;
}

std::vector<PromotedTask> TaskPromoter::fetchActiveTasks(
    const std::optional<std::string>& projectPath) {
  std::vector<db::Row> rows =
      projectPath ? connection_.query(kSelectActiveTasksOfProject, {db::text(*projectPath)})
                  : connection_.query(kSelectActiveTasks);
  std::vector<PromotedTask> tasks;
  for (const auto& row : rows) {
    if (auto task = taskFromRow(row)) tasks.push_back(std::move(*task));
  }
  return tasks;
}

PromotedTask TaskPromoter::promote(const std::string& skillID) {
  if (auto existing = fetchActiveTask(skillID)) return *existing;
  auto skill = fetchSkill(skillID);
  if (!skill) throw TaskPromoterError::skillNotFound(skillID);
  if (!(skill->confidence >= kMinimumConfidence)) {
    throw TaskPromoterError::criteriaNotMet("confidence " + shortestDecimal(skill->confidence) +
                                            " < 0.8");
  }
  if (skill->useCount < kMinimumUseCount) {
    throw TaskPromoterError::criteriaNotMet("use_count " + std::to_string(skill->useCount) +
                                            " < 5");
  }
  if (skill->content.empty()) throw TaskPromoterError::criteriaNotMet("content is empty");

  connection_.run(
      kInsertTask,
      {db::text(platform::makeUUID()), db::text(skill->id), db::text(skill->name),
       db::text(skill->displayName), db::text(skill->description), db::text(skill->content),
       db::optionalText(skill->project), db::text(platform::currentTimestampText())});
  if (auto task = fetchActiveTask(skillID)) return *task;
  throw TaskPromoterError::insertFailed();
}

nlohmann::json taskJSON(const PromotedTask& task) {
  const auto& formatter = platform::sharedTimestampFormatter();
  nlohmann::json json = {{"id", task.id},
                         {"skill_id", task.skillID},
                         {"name", task.name},
                         {"display_name", task.displayName},
                         {"description", task.description},
                         {"script_content", task.scriptContent},
                         {"promoted_at", formatter.format(task.promotedAt)},
                         {"run_count", task.runCount},
                         {"success_rate", task.successRate},
                         {"active", task.isActive}};
  if (task.project) json["project"] = *task.project;
  if (task.lastRun) json["last_run"] = formatter.format(*task.lastRun);
  return json;
}

}  // namespace nodrel::server
