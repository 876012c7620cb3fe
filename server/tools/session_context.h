// server/tools/session_context.h: nodrel_save_context, a decision, state, key point or handoff
// note kept for later sessions and other front ends, and mirrored into memories.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

struct SaveContextArguments {
  std::string projectPath;
  std::string content;
  std::string contextType = "key_point";
  std::optional<std::string> sessionID;
  std::optional<std::string> surface;
};

// {"success": true, context_id, project_id, context_type, created_at} or a refusal. Never throws.
nlohmann::json saveContext(db::Connection& connection, const SaveContextArguments& arguments);

}  // namespace nodrel::server
