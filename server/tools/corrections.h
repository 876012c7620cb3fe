// server/tools/corrections.h: saving corrections and standing instructions, what the user has
// taught the assistant. A correction is also mirrored into memories, best effort.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "server/tool_definition.h"
#include "store/write_state.h"

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
nlohmann::json saveCorrection(db::Connection& connection, store::WriteState& state,
                              const CorrectionArguments& arguments);
nlohmann::json saveStandingInstruction(db::Connection& connection,
                                       const StandingInstructionArguments& arguments);

// The tool described once: its schema, argument reading, handler and audit.
const ToolSpec& saveCorrectionTool();
const ToolSpec& saveStandingInstructionTool();

}  // namespace nodrel::server
