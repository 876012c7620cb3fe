// server/tools/audit_log.h: the audit tool, which reads back the rows that routing writes for
// every call, newest first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/audit_log.h"

namespace nodrel::server {

nlohmann::json auditEntryJSON(const store::AuditEntry& entry);

// The handler of the audit tool: {entries, count, total}, newest first, limit clamped to
// 1..100; an empty session id lists every session.
nlohmann::json getAuditLog(db::Connection& connection, const std::optional<std::string>& sessionID,
                           std::int64_t limit);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& auditLogTool();

}  // namespace nodrel::server
