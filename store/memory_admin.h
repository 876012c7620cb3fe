// store/memory_admin.h: memories as the companion lists and forgets them: a short row per
// memory, forgotten ones included on request, and the soft deletion every reader honours.
// Each function throws db::Error when its statement fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// A NULL id, created_at or body reads as "", a NULL tier or type as "?".
struct ListedMemory {
  std::string id;
  std::string tier;
  std::string type;
  std::optional<std::string> project;
  std::string createdAt;
  std::string body;
  std::optional<std::string> deletedAt;  // set for a forgotten memory
  friend bool operator==(const ListedMemory&, const ListedMemory&) = default;
};

// Up to `limit` memories, newest first (by created_at, then by insertion); with a project only
// those whose stored project is exactly it; forgotten ones only when `includeDeleted`.
std::vector<ListedMemory> listedMemories(const std::optional<std::string>& project,
                                         bool includeDeleted, std::int64_t limit,
                                         db::Connection& db);

// At most two memories, forgotten ones included, whose id starts with the lower-case
// hexadecimal `prefix`: enough to tell a unique prefix from an ambiguous one.
std::vector<ListedMemory> memoriesWithIdPrefix(const std::string& prefix, db::Connection& db);

// Marks the memory deleted at `deletedAt`; false when it was already forgotten or is missing.
bool forgetMemory(const std::string& id, const std::string& deletedAt, db::Connection& db);

}  // namespace nodrel::store
