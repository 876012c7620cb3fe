// server/tools/tasks.h: nodrel_promote_skill and nodrel_list_tasks.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

// {"success": true, "task": ...} or a refusal. Never throws.
nlohmann::json promoteSkill(db::Connection& connection, const std::string& skillID);
// {"success": true, "tasks": [...], "count": n} or a refusal; an absent or empty path lists all.
nlohmann::json listTasks(db::Connection& connection, const std::optional<std::string>& projectPath);

}  // namespace nodrel::server
