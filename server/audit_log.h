// server/audit_log.h: one `audit_log` row per tool call (secrets masked, long texts cut) and
// the tool that reads them back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/audit_log.h"

namespace nodrel::server {

using store::AuditEntry;

// Writes the row; a failure is one "[nodrel:audit] insert failed: " line and nothing more.
void recordAuditEntry(db::Connection& connection, const std::string& toolName,
                      const nlohmann::json& arguments, const std::optional<std::string>& sessionID,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope);

// The arguments with secret-looking keys masked and strings over 1000 characters cut, as
// compact JSON with sorted keys; nothing when it cannot be written.
std::optional<std::string> redactedParametersJSON(const nlohmann::json& arguments);

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
