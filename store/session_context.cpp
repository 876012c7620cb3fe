#include "store/session_context.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSessionContexts = R"sql(
  SELECT id, session_id, surface, context_type, content, created_at FROM session_context
  WHERE project_id = ? ORDER BY created_at DESC LIMIT 20)sql";
constexpr std::string_view kDeleteSessionContextsWithContent = R"sql(
  DELETE FROM session_context
  WHERE content = ?1 AND project_id IN (SELECT id FROM projects WHERE path IS ?2))sql";

std::string textOrEmpty(const db::Value& value) {
  const std::string* text = db::textOf(value);
  return text ? *text : std::string();
}

}  // namespace

std::vector<SessionContextEntry> recentSessionContexts(const std::string& projectID,
                                                       db::Connection& db) {
  std::vector<SessionContextEntry> entries;
  for (const auto& row : db.query(kSessionContexts, {db::text(projectID)})) {
    entries.push_back({textOrEmpty(row[0]), textOrEmpty(row[1]), textOrEmpty(row[2]),
                       textOrEmpty(row[3]), textOrEmpty(row[4]), textOrEmpty(row[5])});
  }
  return entries;
}

int deleteSessionContextsWithContent(const std::string& content,
                                     const std::optional<std::string>& projectPath,
                                     db::Connection& db) {
  return db.run(kDeleteSessionContextsWithContent,
                {db::text(content), db::optionalText(projectPath)});
}

}  // namespace nodrel::store
