// store/standing_instructions.h: the `standing_instructions` table, the rules the user asked
// to hold in every session (global) or in one project, as the context and the session-start
// header read them. Each function throws db::Error when its statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// One active instruction; a NULL column reads as "".
struct StandingInstruction {
  std::string id;
  std::string content;
  std::string scopeType;
  std::string source;
  friend bool operator==(const StandingInstruction&, const StandingInstruction&) = default;
};

// The active global instructions, newest first; with a project id also the project's own,
// which come before the global ones.
std::vector<StandingInstruction> activeStandingInstructions(
    const std::optional<std::string>& projectID, db::Connection& db);

// How many instructions the same read gives.
std::int64_t countActiveStandingInstructions(const std::optional<std::string>& projectID,
                                             db::Connection& db);

// An instruction as the server saves it from a session: active, of one project or global.
struct NewStandingInstruction {
  std::string id;
  std::string content;
  std::optional<std::string> projectID;  // none for a global instruction
  std::string surface;
  std::string createdAt;
  friend bool operator==(const NewStandingInstruction&, const NewStandingInstruction&) = default;
};

void insertStandingInstruction(const NewStandingInstruction& instruction, db::Connection& db);

// Retires the active instructions whose content is exactly `content`: the global ones and those
// of the project registered at `projectPath`; how many were retired.
int retireStandingInstructionsWithContent(const std::string& content,
                                          const std::optional<std::string>& projectPath,
                                          db::Connection& db);

}  // namespace nodrel::store
