#include "server/message_loop.h"

#include <unistd.h>

#include "platform/text.h"
#include "server/json_text.h"
#include "server/log.h"
#include "server/routing.h"
#include "server/tool_catalogue.h"
#include "server/transport.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::size_t kLoggedLineCharacters = 200;

// The log names a malformed line by its head only: a hostile line can be 64 MiB.
std::string loggedLine(const std::string& line, bool cut) {
  std::string head = platform::graphemePrefix(line.substr(0, 4 * kLoggedLineCharacters + 64),
                                              kLoggedLineCharacters);
  if (cut || head.size() < line.size()) head += "\u2026";
  return head;
}

std::string stringMember(const json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

void send(json response, const json& id) {
  response["jsonrpc"] = "2.0";
  response["id"] = id;
  if (auto text = serialiseCompact(response)) {
    writeLine(*text);
    return;
  }
  logLine("[nodrel-mcp] failed to serialise response");
  json fallback = {{"jsonrpc", "2.0"},
                   {"error", {{"code", -32603}, {"message", "failed to serialise response"}}},
                   {"id", id}};
  writeLine(serialiseCompact(fallback).value_or(
      R"({"jsonrpc":"2.0","error":{"code":-32603,"message":"failed to serialise response"},"id":null})"));
}

}  // namespace

json initializeResult() {
  return {{"protocolVersion", "2024-11-05"},
          {"capabilities", {{"tools", json::object()}}},
          {"serverInfo", {{"name", "nodrel-mcp"}, {"version", "1.0.0"}}}};
}

void sendResult(const json& id, const json& result) { send({{"result", result}}, id); }

void sendError(const json& id, int code, const std::string& message) {
  send({{"error", {{"code", code}, {"message", message}}}}, id);
}

void handleMessage(const json& message, MCPServer& server) {
  const std::string method = stringMember(message, "method");
  auto id = message.find("id");
  if (id == message.end()) {
    logLine("[nodrel-mcp] notification: " + method);
    return;
  }
  if (method == "initialize") {
    sendResult(*id, initializeResult());
  } else if (method == "tools/list") {
    sendResult(*id, toolDefinitions());
  } else if (method == "tools/call") {
    static const json kEmpty = json::object();
    auto paramsIt = message.find("params");
    const json& params = paramsIt != message.end() && paramsIt->is_object() ? *paramsIt : kEmpty;
    auto argumentsIt = params.find("arguments");
    const json& arguments =
        argumentsIt != params.end() && argumentsIt->is_object() ? *argumentsIt : kEmpty;
    sendResult(*id, handleToolCall(stringMember(params, "name"), arguments, server));
  } else if (method == "ping") {
    // Every receiver must answer a ping, whatever else it supports.
    sendResult(*id, json::object());
  } else {
    sendError(*id, -32601, "Method not found: " + method);
  }
}

void handleLine(const InputLine& line, MCPServer& server) {
  const std::string trimmed = trimHorizontalSpace(line.text);
  if (trimmed.empty() && !line.overlong) return;
  std::optional<json> message;
  if (!line.overlong) message = parseObject(trimmed);
  if (!message) {
    logLine("[nodrel-mcp] malformed JSON: " + loggedLine(trimmed, line.overlong));
    return;
  }
  handleMessage(*message, server);
}

void runMessageLoop(MCPServer& server) {
  logLine("[nodrel-mcp] server started");
  LineReader reader(STDIN_FILENO);
  while (auto line = reader.next()) handleLine(*line, server);
  logLine("[nodrel-mcp] stdin closed, exiting");
}

}  // namespace nodrel::server
