// store/session_context.h: the `session_context` table, the decisions, state, key points and
// hand-offs a session saved for the next ones of its project. Throws db::Error when the
// statement fails.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// One saved entry; a NULL column reads as "".
struct SessionContextEntry {
  std::string id;
  std::string sessionID;
  std::string surface;
  std::string contextType;
  std::string content;
  std::string createdAt;
  friend bool operator==(const SessionContextEntry&, const SessionContextEntry&) = default;
};

// Up to 20 of the project's entries, newest first.
std::vector<SessionContextEntry> recentSessionContexts(const std::string& projectID,
                                                       db::Connection& db);

// An entry as the server saves it. A session id that names no row of session_stats is stored
// as NULL: no program writes that table, and its foreign key would refuse the entry.
struct NewSessionContext {
  std::string id;
  std::optional<std::string> sessionID;
  std::string projectID;
  std::string surface;
  std::string contextType;
  std::string content;
  std::string createdAt;
  friend bool operator==(const NewSessionContext&, const NewSessionContext&) = default;
};

void insertSessionContext(const NewSessionContext& entry, db::Connection& db);

// Deletes the entries whose content is exactly `content` in the project registered at
// `projectPath` (none when there is no project); how many went.
int deleteSessionContextsWithContent(const std::string& content,
                                     const std::optional<std::string>& projectPath,
                                     db::Connection& db);

}  // namespace nodrel::store
