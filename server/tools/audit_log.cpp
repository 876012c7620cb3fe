#include "server/tools/audit_log.h"

#include <algorithm>
#include <exception>
#include <vector>

#include "platform/time.h"
#include "server/log.h"
#include "server/tool_arguments.h"
#include "store/audit_log.h"

namespace nodrel::server {
namespace {

using nlohmann::json;
using store::AuditEntry;

// 0 on any failure ("[nodrel:audit] count failed: ").
std::int64_t countAuditEntries(db::Connection& connection) {
  try {
    return store::auditEntryCount(connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel:audit] count failed: ") + e.what());
  }
  return 0;
}

}  // namespace

json auditEntryJSON(const AuditEntry& entry) {
  return {{"id", entry.id},
          {"timestamp", platform::sharedTimestampFormatter().format(entry.timestamp)},
          {"session_id", entry.sessionID.value_or("")},
          {"tool_name", entry.toolName},
          {"result_summary", entry.resultSummary.value_or("")},
          {"impact_scope", entry.impactScope.value_or("")}};
}

json getAuditLog(db::Connection& connection, const std::optional<std::string>& sessionID,
                 std::int64_t limit) {
  const std::int64_t clamped = std::clamp<std::int64_t>(limit, 1, 100);
  std::vector<AuditEntry> entries;
  try {
    const bool oneSession = sessionID && !sessionID->empty();
    entries = store::recentAuditEntries(oneSession ? sessionID : std::nullopt, clamped, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel-mcp] getAuditLog error: ") + e.what());
    entries.clear();
  }
  json list = json::array();
  for (const auto& entry : entries) list.push_back(auditEntryJSON(entry));
  const auto count = static_cast<std::int64_t>(list.size());
  return {{"entries", std::move(list)}, {"count", count}, {"total", countAuditEntries(connection)}};
}

const ToolSpec& auditLogTool() {
  static const ToolSpec spec{
      .name = "nodrel_audit_log",
      .description =
          "Read-only: returns recent audit log entries showing what Nodrel tool calls have been "
          "made. Use this to review your own session history and verify actions match "
          "intentions.",
      .properties = {{"session_id", PropertyType::String,
                      "Optional: filter entries to a specific session. Omit to see all recent "
                      "entries."},
                     {"limit", PropertyType::Integer,
                      "Maximum entries to return (1-100, default 20)"}},
      .required = {},
      .handler =
          [](const ToolCall& call, MCPServer& server) {
            return getAuditLog(server.db(), call.sessionID,
                               integerArgument(call.all, "limit").value_or(20));
          },
      .summary = "read:audit",
  };
  return spec;
}

}  // namespace nodrel::server
