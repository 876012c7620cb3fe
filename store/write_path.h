// store/write_path.h: the one door every memory goes through. A body's identity is its
// SHA-256, so writing a stored body reinforces the stored memory instead of adding a row.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "store/memory.h"

namespace nodrel::store {

struct MemoryWrite {
  std::string body;
  MemoryTier tier = MemoryTier::Episodic;
  std::optional<std::string> project;
  MemoryType type = MemoryType::Observation;
  std::optional<std::string> tags;
  std::int64_t importance = 5;
  std::optional<std::string> contextPath;
  std::optional<std::string> sourceSession;

  friend bool operator==(const MemoryWrite&, const MemoryWrite&) = default;
};

// Stores one memory and returns it (the new row, or the stored one it reinforced).
// Throws WriteBlockedError (store/capacity.h) after queueing the write when both budgets are
// exhausted, or db::Error.
Memory writeMemory(db::Connection& connection, const MemoryWrite& write);

// Retries every queued write once; never throws.
void flushPendingWrites(db::Connection& connection);

std::string memoryContentHash(std::string_view body);
std::optional<Memory> fetchMemory(const std::string& id, db::Connection& connection);
void reinforceMemory(const std::string& id, db::Connection& connection);
void syncMemoryFTS(const std::string& id, const std::string& body,
                   const std::optional<std::string>& tags, db::Connection& connection);
std::vector<Memory> recentMemories(const std::optional<std::string>& project, std::int64_t limit,
                                   db::Connection& connection);

}  // namespace nodrel::store
