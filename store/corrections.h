// store/corrections.h: the `corrections` table, what the user corrected in a project, as the
// context and the session-start header read it. Each function throws db::Error when its
// statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// One correction as the context shows it; a NULL column reads as "".
struct Correction {
  std::string id;
  std::string content;
  std::string status;
  std::string source;
  std::string createdAt;
  std::string rationale;
  friend bool operator==(const Correction&, const Correction&) = default;
};

// Up to 10 of the project's corrections, newest first.
std::vector<Correction> recentCorrections(const std::string& projectID, db::Connection& db);

std::int64_t countCorrections(const std::string& projectID, db::Connection& db);

// A correction as the server saves it, pending until reviewed.
struct NewCorrection {
  std::string id;
  std::string projectID;
  std::string content;
  std::string source;
  std::string surface;
  std::optional<std::string> rationale;
  std::string createdAt;
  friend bool operator==(const NewCorrection&, const NewCorrection&) = default;
};

void insertCorrection(const NewCorrection& correction, db::Connection& db);

// Deletes the corrections whose content is exactly `content` in the project registered at
// `projectPath` (none when there is no project); how many went.
int deleteCorrectionsWithContent(const std::string& content,
                                 const std::optional<std::string>& projectPath, db::Connection& db);

}  // namespace nodrel::store
