// server/audit_log.h: one `audit_log` row per tool call (secrets masked, long texts cut) and
// the tool that reads them back.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "platform/time.h"
#include "server/tool_definition.h"

namespace nodrel::server {

struct AuditEntry {
  std::int64_t id = 0;
  platform::Instant timestamp{};
  std::optional<std::string> sessionID;
  std::string toolName;
  std::optional<std::string> parametersJSON;
  std::optional<std::string> resultSummary;
  std::optional<std::string> impactScope;
  platform::Instant createdAt{};
  friend bool operator==(const AuditEntry&, const AuditEntry&) = default;
};

// Writes the row; a failure is one "[nodrel:audit] insert failed: " line and nothing more.
void recordAuditEntry(db::Connection& connection, const std::string& toolName,
                      const nlohmann::json& arguments, const std::optional<std::string>& sessionID,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope);

// The arguments with secret-looking keys masked and strings over 1000 characters cut, as
// compact JSON with sorted keys; nothing when it cannot be written.
std::optional<std::string> redactedParametersJSON(const nlohmann::json& arguments);

// Nothing when the row lacks an integer id, a text tool name or a readable timestamp.
std::optional<AuditEntry> auditEntryFromRow(const db::Row& row);
// Rows that do not map are skipped. Throws db::Error.
std::vector<AuditEntry> queryAuditEntries(db::Connection& connection, std::string_view sql,
                                          std::span<const db::Value> bindings);
// 0 on any failure ("[nodrel:audit] count failed: ").
std::int64_t countAuditEntries(db::Connection& connection);

nlohmann::json auditEntryJSON(const AuditEntry& entry);

// The handler of the audit tool: {entries, count, total}, newest first, limit clamped to
// 1..100; an empty session id lists every session.
nlohmann::json getAuditLog(db::Connection& connection, const std::optional<std::string>& sessionID,
                           std::int64_t limit);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& auditLogTool();

}  // namespace nodrel::server
