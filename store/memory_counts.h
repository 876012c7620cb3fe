// store/memory_counts.h: how many memories are stored, as the session-start header and the
// status commands show it. Deleted memories are never counted. Each throws db::Error when its
// statement fails, but for the cases its comment names.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "db/connection.h"

namespace nodrel::store {

// The memories stored under this project key.
std::int64_t countProjectMemories(const std::string& project, db::Connection& db);

// The same count, for callers that must work on any database file: nothing when the statement
// cannot be prepared (no `memories` table); a read that fails still throws.
std::optional<std::int64_t> countProjectMemoriesIfStored(const std::string& project,
                                                         db::Connection& db);

// The memories of each tier, keyed by the stored tier text; a tier without rows has no entry,
// and a row whose tier is not text or whose count is not an integer is left out. Nothing when
// the statement cannot be prepared (no `memories` table); a read that fails throws, so a caller
// never sees a half-counted table.
std::optional<std::map<std::string, std::int64_t>> countMemoriesByTier(db::Connection& db);

}  // namespace nodrel::store
