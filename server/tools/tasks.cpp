#include "server/tools/tasks.h"

#include <exception>

#include "server/task_promoter.h"
#include "server/transport.h"
#include "server/validation.h"
#include "server/tools/tool_result.h"

namespace nodrel::server {
using nlohmann::json;

json promoteSkill(db::Connection& connection, const std::string& skillID) {
  if (skillID.empty()) return failure("skill_id is required");
  try {
    return {{"success", true}, {"task", taskJSON(TaskPromoter(connection).promote(skillID))}};
  } catch (const TaskPromoterError& e) {
    switch (e.kind()) {
      case TaskPromoterError::Kind::SkillNotFound:
        return failure("Skill not found: " + e.detail());
      case TaskPromoterError::Kind::CriteriaNotMet:
        return failure("Criteria not met \u2014 " + e.detail());
      case TaskPromoterError::Kind::InsertFailed:
        logLine("[nodrel-mcp] promoteSkill error: insertFailed");
        return failure("insertFailed");
    }
    return failure(e.what());
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] promoteSkill error: ") + e.what());
    return failure(e.what());
  }
}

json listTasks(db::Connection& connection, const std::optional<std::string>& projectPath) {
  std::optional<std::string> filter;
  if (projectPath && !projectPath->empty()) {
    if (auto message = validateProjectPath(*projectPath)) return failure(*message);
    filter = projectPath;
  }
  try {
    json tasks = json::array();
    for (const auto& task : TaskPromoter(connection).fetchActiveTasks(filter)) {
      tasks.push_back(taskJSON(task));
    }
    const auto count = tasks.size();
    return {{"success", true}, {"tasks", std::move(tasks)}, {"count", count}};
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] listTasks error: ") + e.what());
    return failure(e.what());
  }
}

}  // namespace nodrel::server
