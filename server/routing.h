// server/routing.h: one "tools/call" turned into work: the tool's arguments read with their
// types and defaults, its handler called, one audit row written, the result wrapped as text.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "server/mcp_server.h"

namespace nodrel::server {

// The MCP tool result for the call. Never throws: an unknown name, a refusing handler and a
// failing audit insert all still give a result.
nlohmann::json handleToolCall(const std::string& name, const nlohmann::json& arguments,
                              MCPServer& server);

// {"content": [{"type": "text", "text": <the dictionary as indented JSON>}]}.
nlohmann::json textContentResult(const nlohmann::json& dictionary);

}  // namespace nodrel::server
