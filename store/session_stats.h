// store/session_stats.h: the `session_stats` table, one row per session of a project with the
// tools it called and the corrections it took; the rows come from outside the programs.
// Throws db::Error when the statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

struct SessionStats {
  std::optional<std::string> toolCalls;  // a JSON object of counts by tool; nothing when not text
  std::int64_t correctionCount = 0;      // 0 when not an integer
  friend bool operator==(const SessionStats&, const SessionStats&) = default;
};

// The project's sessions whose `session_date` is not before this one (compared as text),
// newest first.
std::vector<SessionStats> sessionStatsSince(const std::string& projectID, const std::string& since,
                                            db::Connection& db);

}  // namespace nodrel::store
