// store/memory_counts.h: how many memories are stored, as the session-start header and the
// status commands show it. Deleted memories are never counted. Throws db::Error when the
// statement fails.
#pragma once

#include <cstdint>
#include <string>

#include "db/connection.h"

namespace nodrel::store {

// The memories stored under this project key.
std::int64_t countProjectMemories(const std::string& project, db::Connection& db);

}  // namespace nodrel::store
