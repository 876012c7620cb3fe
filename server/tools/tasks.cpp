#include "server/tools/tasks.h"

#include <exception>

#include "server/log.h"
#include "server/task_promoter.h"
#include "server/tool_arguments.h"
#include "server/tools/tool_result.h"
#include "server/validation.h"

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

const ToolSpec& promoteSkillTool() {
  static const ToolSpec spec{
      .name = "nodrel_promote_skill",
      .description =
          "Promote a skill to a task. A skill qualifies when confidence >= 0.8, use_count >= 5, "
          "and content is non-empty. Promoted tasks are stored as deterministic scripts that can "
          "be executed without LLM interpretation. Idempotent \u2014 returns the existing task if "
          "already promoted.",
      .properties = {{"skill_id", PropertyType::String, "UUID of the skill to promote"}},
      .required = {"skill_id"},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return promoteSkill(server.db(), stringOr(call.all, "skill_id", ""));
          },
      .summary = "write:task_promotion",
      .writes = true,
      .scope = "tasks",
  };
  return spec;
}

const ToolSpec& listTasksTool() {
  static const ToolSpec spec{
      .name = "nodrel_list_tasks",
      .description =
          "List all active promoted tasks. Optionally filter by project. Returns tasks with their "
          "script content, run statistics, and promotion metadata.",
      .properties = {{"project_path", PropertyType::String,
                      "Optional: absolute path to filter tasks to a specific project. Omit to "
                      "return all active tasks."}},
      .required = {},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return listTasks(server.db(), nonEmptyStringArgument(call.all, "project_path"));
          },
      .summary = "read:tasks",
  };
  return spec;
}

}  // namespace nodrel::server
