#include "store/session_stats.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSessionStats = R"sql(
  SELECT tool_calls, correction_count FROM session_stats
  WHERE project_id = ? AND session_date >= ? ORDER BY session_date DESC)sql";

}  // namespace

std::vector<SessionStats> sessionStatsSince(const std::string& projectID, const std::string& since,
                                            db::Connection& db) {
  std::vector<SessionStats> sessions;
  for (const auto& row : db.query(kSessionStats, {db::text(projectID), db::text(since)})) {
    SessionStats session;
    if (const std::string* toolCalls = db::textOf(row[0])) session.toolCalls = *toolCalls;
    session.correctionCount = db::integerOf(row[1]).value_or(0);
    sessions.push_back(std::move(session));
  }
  return sessions;
}

}  // namespace nodrel::store
