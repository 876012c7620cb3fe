// server/message_loop.h: the JSON-RPC envelope: requests and notifications, the methods the
// server answers, and the one response line each request gets.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "server/mcp_server.h"
#include "server/transport.h"

namespace nodrel::server {

// Reads standard input line by line until it ends. Throws ClientGone when standard output can
// no longer be written.
void runMessageLoop(MCPServer& server);

// One line as the reader gave it: skipped when blank, logged and unanswered when it is no JSON
// object (or was overlong), else handled as a message. Writes at most one response line.
void handleLine(const InputLine& line, MCPServer& server);

// One parsed request object; writes at most one response line.
void handleMessage(const nlohmann::json& message, MCPServer& server);

nlohmann::json initializeResult();

void sendResult(const nlohmann::json& id, const nlohmann::json& result);
void sendError(const nlohmann::json& id, int code, const std::string& message);

}  // namespace nodrel::server
