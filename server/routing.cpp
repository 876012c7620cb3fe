#include "server/routing.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <vector>

#include "db/error.h"
#include "db/savepoint.h"
#include "platform/paths.h"
#include "server/audit_log.h"
#include "server/json_text.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "server/tool_catalogue.h"
#include "server/validation.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

bool commitsWithItsAudit(const ToolSpec& tool) { return tool.writes && !tool.commitsAsItGoes; }

// A write and its audit row are committed together: one sync of the log instead of two. The
// savepoint begins as a writer, taking the write lock before the handler's first read, so the
// write that follows that read cannot be refused for a snapshot another connection has made
// stale. Nothing when it cannot begin: the handler's statements then commit on their own, as
// they would without it, except that another program holding the write lock past the busy
// timeout is kept in `busy`, since the handler's writes could then each commit, or fail, on
// their own, and the call end half done.
void beginCallTransaction(db::Connection& connection, std::optional<db::Savepoint>& transaction,
                          std::optional<db::Error>& busy) {
  try {
    transaction.emplace(connection, "nodrel_call");
  } catch (const db::Error& error) {
    if (error.isBusyOrLocked()) busy = error;
  } catch (const std::exception&) {
  }
}

// The audit row gets a savepoint of its own, so a failed insert unwinds only itself; when that
// savepoint cannot begin the row is still written.
void recordAuditInside(db::Connection& connection, const std::function<void()>& insert) {
  std::optional<db::Savepoint> audit;
  try {
    audit.emplace(connection, "nodrel_audit");
  } catch (const std::exception&) {
    return insert();
  }
  insert();
  try {
    audit->commit();
  } catch (const std::exception&) {
    // The savepoint's destructor unwinds the row.
  }
}

// Every directory argument is checked alike and then stored and looked up under one key, so
// "/work/app/" and "/work/app" are one project in every table. A refusal names the argument.
std::optional<std::string> checkPathArguments(const ToolSpec& tool, json& arguments) {
  if (!arguments.is_object()) return std::nullopt;
  std::vector<PathArgument> paths = {{"project_path"}};
  paths.insert(paths.end(), tool.paths.begin(), tool.paths.end());
  for (const PathArgument& path : paths) {
    const auto it = arguments.find(path.key);
    if (it == arguments.end() || !it->is_string()) continue;
    const std::string& value = it->get_ref<const std::string&>();
    const std::string key(path.key);
    if (path.orName && !value.starts_with("/")) {
      if (value.find('\0') != std::string::npos) return key + " must not contain null bytes";
      continue;
    }
    if (auto refusal = validatePathArgument(key, value)) return refusal;
    *it = platform::normaliseProjectPath(value);
  }
  return std::nullopt;
}

bool succeeded(const json& result) {
  auto it = result.find("success");
  return it != result.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

json textContentResult(const json& dictionary) {
  std::string text = serialisePretty(dictionary).value_or("{}");
  return {{"content", json::array({{{"type", "text"}, {"text", std::move(text)}}})}};
}

json handleToolCall(const std::string& name, const json& arguments, MCPServer& server) {
  // However many statements the call runs, another program's lock holds it up for one busy
  // timeout at most.
  server.db().beginCall();
  const std::optional<std::string> sessionID = stringArgument(arguments, "session_id");
  const ToolSpec* tool = findToolSpec(name);
  json result;
  std::optional<std::string> summary;
  std::optional<std::string> scope;
  if (tool == nullptr) {
    result = {{"error", "Unknown tool: " + name}};
    summary = "error:unknown_tool";
    recordAuditEntry(server.db(), name, arguments, sessionID, summary, scope);
    return textContentResult(result);
  }
  // An oversized session id is refused before any tool stores it, and the audit row keeps none.
  if (sessionID) {
    if (auto refusal = validateSessionID(*sessionID)) {
      result = {{"success", false}, {"error", *refusal}};
      recordAuditEntry(server.db(), name, arguments, std::nullopt, "rejected", scope);
      return textContentResult(result);
    }
  }
  json normalised = arguments;
  if (auto refusal = checkPathArguments(*tool, normalised)) {
    // Audited as the handler's own refusal of the same path would be.
    result = {{"success", false}, {"error", *refusal}};
    if (tool->scope) scope = std::string(*tool->scope);
    recordAuditEntry(server.db(), name, arguments, sessionID,
                     tool->writes ? "rejected" : std::string(tool->summary), scope);
    return textContentResult(result);
  }
  const ToolCall call{normalised, stringOr(normalised, "project_path", ""), sessionID};
  std::optional<db::Error> busy;
  std::optional<db::Savepoint> transaction;
  if (commitsWithItsAudit(*tool)) beginCallTransaction(server.db(), transaction, busy);
  try {
    if (busy) throw *busy;
    result = tool->handler(call, server);
  } catch (const std::exception& e) {
    // Handlers report their own failures; this only keeps one that slipped through from
    // taking the server down.
    logLine("[nodrel-mcp] " + name + " error: " + e.what());
    result = {{"success", false}, {"error", e.what()}};
  }
  summary = std::string(!tool->writes || succeeded(result) ? tool->summary : "rejected");
  if (tool->scope) scope = std::string(*tool->scope);
  auto audit = [&] {
    recordAuditEntry(server.db(), name, arguments, call.sessionID, summary, scope);
  };
  if (!transaction) {
    audit();
    return textContentResult(result);
  }
  recordAuditInside(server.db(), audit);
  try {
    transaction->commit();
  } catch (const std::exception& e) {
    // Nothing of the call was stored, so it must not answer as if it had been.
    logLine("[nodrel-mcp] " + name + " error: commit failed: " + e.what());
    result = {{"success", false}, {"error", std::string("commit failed: ") + e.what()}};
  }
  return textContentResult(result);
}

}  // namespace nodrel::server
