// server/tools/tool_result.h: the pieces of a tool result that every handler forms the same way.
#pragma once

#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace nodrel::server {

// A refusal or failure: {"success": false, "error": message}.
inline nlohmann::json failure(const std::string& message) {
  return {{"success", false}, {"error", message}};
}

// Scores leave the server with three decimals, halves away from zero.
inline double roundedScore(double score) { return std::round(score * 1000.0) / 1000.0; }

}  // namespace nodrel::server
