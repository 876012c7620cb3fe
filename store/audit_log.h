// store/audit_log.h: the `audit_log` table, one row per tool call, as the server writes it and
// its audit tool reads it back. Each function throws db::Error when its statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "platform/time.h"

namespace nodrel::store {

struct AuditEntry {
  std::int64_t id = 0;
  platform::Instant timestamp{};
  std::optional<std::string> sessionID;
  std::string toolName;
  std::optional<std::string> parametersJSON;
  std::optional<std::string> resultSummary;
  std::optional<std::string> impactScope;
  platform::Instant createdAt{};  // the timestamp when created_at does not read
  friend bool operator==(const AuditEntry&, const AuditEntry&) = default;
};

// One row, its timestamp and creation time both `time`.
void insertAuditEntry(const std::string& time, const std::optional<std::string>& sessionID,
                      const std::string& toolName, const std::optional<std::string>& parametersJSON,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope, db::Connection& db);

// Up to `limit` entries, newest first, of one session or, without one, of every session. A row
// without an integer id, a text tool name or a readable timestamp is left out.
std::vector<AuditEntry> recentAuditEntries(const std::optional<std::string>& sessionID,
                                           std::int64_t limit, db::Connection& db);

// Every row; 0 when the count does not read as an integer.
std::int64_t auditEntryCount(db::Connection& db);

}  // namespace nodrel::store
