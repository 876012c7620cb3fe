// server/tools/corrections.h: nodrel_save_correction and nodrel_save_standing_instruction, what
// the user has taught the assistant. A correction is also mirrored into memories, best effort.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

struct CorrectionArguments {
  std::string projectPath;
  std::string content;
  std::string source = "session_log";
  std::optional<std::string> surface;
  std::optional<std::string> rationale;
};

struct StandingInstructionArguments {
  std::optional<std::string> projectPath;  // absent or empty: a global instruction
  std::string content;
  std::optional<std::string> surface;
};

// Result dictionaries: {"success": true, ...} or {"success": false, "error": ...}. Never throw.
nlohmann::json saveCorrection(db::Connection& connection, const CorrectionArguments& arguments);
nlohmann::json saveStandingInstruction(db::Connection& connection,
                                       const StandingInstructionArguments& arguments);

}  // namespace nodrel::server
