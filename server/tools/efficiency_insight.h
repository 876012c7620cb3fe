// server/tools/efficiency_insight.h: the context's efficiency section, the project's tool use
// and corrections over the last seven days of `session_stats`.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

// The top five tools by calls and the corrections taken. Counts come from outside the
// programs, so their sums stop at the 64-bit limits instead of wrapping. Never throws.
nlohmann::json fetchEfficiencyInsight(const std::optional<std::string>& projectID,
                                      db::Connection& connection);

}  // namespace nodrel::server
