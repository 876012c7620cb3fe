// server/tools/session_context.h: saving session context: a decision, state, key point or handoff
// note kept for later sessions and other front ends, and mirrored into memories.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/write_state.h"

namespace nodrel::server {

struct SaveContextArguments {
  std::string projectPath;
  std::string content;
  std::string contextType = "key_point";
  std::optional<std::string> sessionID;
  std::optional<std::string> surface;
};

// {"success": true, context_id, project_id, context_type, created_at} or a refusal. Never throws.
nlohmann::json saveContext(db::Connection& connection, store::WriteState& state,
                           const SaveContextArguments& arguments);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& saveContextTool();

}  // namespace nodrel::server
