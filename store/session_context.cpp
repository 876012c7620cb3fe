#include "store/session_context.h"

#include <string_view>

#include "db/value.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kSessionContexts = R"sql(
  SELECT id, session_id, surface, context_type, content, created_at FROM session_context
  WHERE project_id = ? ORDER BY created_at DESC LIMIT 20)sql";
// No program writes session_stats, so most session ids name no row there; the note is then
// kept without the link (the mirrored memory still carries the id) instead of failing the
// table's foreign key.
constexpr std::string_view kInsertSessionContext =
    "INSERT INTO session_context (id, session_id, project_id, surface, context_type, content, "
    "created_at) VALUES (?, (SELECT id FROM session_stats WHERE id = ?), ?, ?, ?, ?, ?)";
constexpr std::string_view kDeleteSessionContextsWithContent = R"sql(
  DELETE FROM session_context
  WHERE content = ?1 AND project_id IN (SELECT id FROM projects WHERE path IS ?2))sql";

}  // namespace

std::vector<SessionContextEntry> recentSessionContexts(const std::string& projectID,
                                                       db::Connection& db) {
  std::vector<SessionContextEntry> entries;
  for (const auto& row : db.query(kSessionContexts, {db::text(projectID)})) {
    entries.push_back({db::textOr(row[0]), db::textOr(row[1]), db::textOr(row[2]),
                       db::textOr(row[3]), db::textOr(row[4]), db::textOr(row[5])});
  }
  return entries;
}

void insertSessionContext(const NewSessionContext& entry, db::Connection& db) {
  db.run(kInsertSessionContext,
         {db::text(entry.id), db::optionalText(entry.sessionID), db::text(entry.projectID),
          db::text(entry.surface), db::text(entry.contextType), db::text(entry.content),
          db::text(entry.createdAt)});
}

int deleteSessionContextsWithContent(const std::string& content,
                                     const std::optional<std::string>& projectPath,
                                     db::Connection& db) {
  return db.run(kDeleteSessionContextsWithContent,
                {db::text(content), db::optionalText(projectPath)});
}

}  // namespace nodrel::store
