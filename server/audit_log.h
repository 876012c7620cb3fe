// server/audit_log.h: one `audit_log` row per tool call, with secrets masked and long texts cut;
// the tool that reads the rows back is server/tools/audit_log.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

// Writes the row; a failure is one "[nodrel:audit] insert failed: " line and nothing more.
void recordAuditEntry(db::Connection& connection, const std::string& toolName,
                      const nlohmann::json& arguments, const std::optional<std::string>& sessionID,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope);

// The arguments with secret-looking keys masked and strings over 1000 characters cut, as
// compact JSON with sorted keys; nothing when it cannot be written.
std::optional<std::string> redactedParametersJSON(const nlohmann::json& arguments);

}  // namespace nodrel::server
