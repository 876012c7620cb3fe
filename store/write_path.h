// store/write_path.h: the one door every memory goes through. A body's identity is its
// SHA-256, so writing a stored body reinforces the stored memory instead of adding a row.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "store/memory.h"
#include "store/write_state.h"

namespace nodrel::store {

struct MemoryWrite {
  std::string body;
  MemoryTier tier = MemoryTier::Episodic;
  std::optional<std::string> project = std::nullopt;
  MemoryType type = MemoryType::Observation;
  std::optional<std::string> tags = std::nullopt;
  std::int64_t importance = 5;
  std::optional<std::string> contextPath = std::nullopt;
  std::optional<std::string> sourceSession = std::nullopt;
  // Only an explicit save may bring back a body the user forgot; every other writer leaves it
  // forgotten.
  bool reviveForgotten = false;

  friend bool operator==(const MemoryWrite&, const MemoryWrite&) = default;
};

// The body is that of a forgotten memory and the write may not revive it: nothing was stored.
class ForgottenMemoryError : public std::runtime_error {
 public:
  ForgottenMemoryError() : std::runtime_error("the memory was forgotten") {}
};

// Stores one memory and returns it (the new row, or the stored one it reinforced, as it was
// before the reinforcement). First retries the writes queued in `state`. The row, its full-text
// entry, its vector and its links are committed together, so no interruption leaves a row without
// the others; the vector and links are best effort (their failure does not fail the write). A
// forgotten body is revived only when `reviveForgotten`; otherwise ForgottenMemoryError. Throws
// WriteBlockedError (store/capacity.h) after queueing the write in `state` and posting the
// notification when both budgets are exhausted, or db::Error, having then stored nothing.
Memory writeMemory(db::Connection& connection, WriteState& state, const MemoryWrite& write);

// Retries every write queued in `state` once, oldest first. A write refused for capacity, or
// failing because the database is busy or locked, is queued again; other failures drop it. Never
// throws.
void flushPendingWrites(db::Connection& connection, WriteState& state);

// The identifier of a body: 64 lower-case hexadecimal digits of the SHA-256 of its bytes.
std::string memoryContentHash(std::string_view body);
// Estimated tokens of a body: a quarter of its characters (grapheme clusters), at least 1.
std::int64_t tokenEstimate(std::string_view body);
// The live memory with the identifier, cold ones included; nothing when there is none or the
// row does not decode. Throws db::Error.
std::optional<Memory> fetchMemory(const std::string& id, db::Connection& connection);
// The row alone of a new memory `id` written by `write` now, or of a forgotten one revived in its
// place; 0 when a live row holds the id (it is left as it is), 1 otherwise. The full-text entry,
// vector and links are the caller's (writeMemory stores them all). Throws db::Error.
int insertMemoryRow(db::Connection& connection, const std::string& id, const MemoryWrite& write,
                    std::int64_t tokens, std::int64_t importance, const std::string& nowText);
// One more access: access_count + 1, last_accessed now, strength + 0.3 up to 1.0.
// Throws db::Error.
void reinforceMemory(const std::string& id, db::Connection& connection);
// Mirrors the body and tags (empty text when none) into memories_fts under the row's rowid;
// writes nothing when the row is missing. Throws db::Error.
void syncMemoryFTS(const std::string& id, const std::string& body,
                   const std::optional<std::string>& tags, db::Connection& connection);
// Up to `limit` live non-cold memories (of the project, when given), most recently accessed
// first. Throws db::Error.
std::vector<Memory> recentMemories(const std::optional<std::string>& project, std::int64_t limit,
                                   db::Connection& connection);

}  // namespace nodrel::store
