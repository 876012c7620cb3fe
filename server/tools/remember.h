// server/tools/remember.h: the remember tool: the deliberate "remember this" of the user, stored
// as a high-importance observation with an optional rationale.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/write_state.h"

namespace nodrel::server {

struct RememberArguments {
  std::string projectPath;
  std::string content;
  std::optional<std::string> rationale;
  std::optional<std::string> sessionID;
};

// {"success": true, memory_id, importance, tags, tier, created_at[, rationale]} or
// {"success": false, "error": ...}. Never throws.
nlohmann::json rememberContent(db::Connection& connection, store::WriteState& state,
                               const RememberArguments& arguments);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& rememberTool();

}  // namespace nodrel::server
