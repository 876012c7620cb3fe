#include "server/task_promoter.h"

#include <charconv>
#include <string_view>

#include "platform/uuid.h"
#include "store/skills.h"

namespace nodrel::server {
namespace {

constexpr double kMinimumConfidence = 0.8;
constexpr std::int64_t kMinimumUseCount = 5;

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

std::optional<PromotedTask> TaskPromoter::fetchActiveTask(const std::string& skillID) {
  return store::activeTaskOfSkill(skillID, connection_);
}

std::vector<PromotedTask> TaskPromoter::fetchActiveTasks(
    const std::optional<std::string>& projectPath) {
  return store::activeTasks(projectPath, connection_);
}

PromotedTask TaskPromoter::promote(const std::string& skillID) {
  if (auto existing = fetchActiveTask(skillID)) return *existing;
  auto skill = store::findPromotableSkill(skillID, connection_);
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

  store::insertTask({platform::makeUUID(), skill->id, skill->name, skill->displayName,
                     skill->description, skill->content, skill->learnedFrom},
                    platform::currentTimestampText(), connection_);
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
