#include "store/audit_log.h"

#include <string_view>
#include <utility>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kInsertAuditEntry =
    "INSERT INTO audit_log (timestamp, session_id, tool_name, parameters_json, result_summary, "
    "impact_scope, created_at) VALUES (?, ?, ?, ?, ?, ?, ?)";
// Rows written within one millisecond share a timestamp; the row id keeps them newest first.
constexpr std::string_view kSelectAuditBySession =
    "SELECT id, timestamp, session_id, tool_name, parameters_json, result_summary, "
    "impact_scope, created_at FROM audit_log WHERE session_id = ? ORDER BY timestamp DESC, "
    "id DESC LIMIT ?";
constexpr std::string_view kSelectAudit =
    "SELECT id, timestamp, session_id, tool_name, parameters_json, result_summary, "
    "impact_scope, created_at FROM audit_log ORDER BY timestamp DESC, id DESC LIMIT ?";
constexpr std::string_view kCountAudit = "SELECT COUNT(*) FROM audit_log";

std::optional<AuditEntry> auditEntryFromRow(const db::Row& row) {
  if (row.size() < 8) return std::nullopt;
  const auto id = db::integerOf(row[0]);
  const std::string* timestampText = db::textOf(row[1]);
  const std::string* toolName = db::textOf(row[3]);
  if (!id || timestampText == nullptr || toolName == nullptr) return std::nullopt;
  const auto& formatter = platform::sharedTimestampFormatter();
  const auto timestamp = formatter.parse(*timestampText);
  if (!timestamp) return std::nullopt;
  AuditEntry entry;
  entry.id = *id;
  entry.timestamp = *timestamp;
  entry.sessionID = db::optionalTextOf(row[2]);
  entry.toolName = *toolName;
  entry.parametersJSON = db::optionalTextOf(row[4]);
  entry.resultSummary = db::optionalTextOf(row[5]);
  entry.impactScope = db::optionalTextOf(row[6]);
  entry.createdAt = *timestamp;
  if (const std::string* created = db::textOf(row[7])) {
    if (auto parsed = formatter.parse(*created)) entry.createdAt = *parsed;
  }
  return entry;
}

}  // namespace

void insertAuditEntry(const std::string& time, const std::optional<std::string>& sessionID,
                      const std::string& toolName, const std::optional<std::string>& parametersJSON,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope, db::Connection& db) {
  db.run(kInsertAuditEntry, {db::text(time), db::optionalText(sessionID), db::text(toolName),
                             db::optionalText(parametersJSON), db::optionalText(resultSummary),
                             db::optionalText(impactScope), db::text(time)});
}

std::vector<AuditEntry> recentAuditEntries(const std::optional<std::string>& sessionID,
                                           std::int64_t limit, db::Connection& db) {
  std::vector<AuditEntry> entries;
  const auto keep = [&](const db::Row& row) {
    if (auto entry = auditEntryFromRow(row)) entries.push_back(std::move(*entry));
    return true;
  };
  if (sessionID) {
    const db::Value bindings[] = {db::text(*sessionID), limit};
    db.each(kSelectAuditBySession, bindings, keep);
  } else {
    const db::Value bindings[] = {limit};
    db.each(kSelectAudit, bindings, keep);
  }
  return entries;
}

std::int64_t auditEntryCount(db::Connection& db) {
  const auto value = db.scalar(kCountAudit);
  return value ? db::integerOf(*value).value_or(0) : 0;
}

}  // namespace nodrel::store
