// server/tools/tasks.h: promoting a skill to a task and listing the promoted tasks.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"

namespace nodrel::server {

// {"success": true, "task": ...} or a refusal. Never throws.
nlohmann::json promoteSkill(db::Connection& connection, const std::string& skillID);
// {"success": true, "tasks": [...], "count": n} or a refusal; an absent or empty path lists all.
nlohmann::json listTasks(db::Connection& connection, const std::optional<std::string>& projectPath);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& promoteSkillTool();
const ToolSpec& listTasksTool();

}  // namespace nodrel::server
