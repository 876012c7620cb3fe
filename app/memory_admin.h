// app/memory_admin.h: the companion's memory management, as the stand-in offers it: listing
// memories and forgetting them (the soft deletion that every reader of memories honours).
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "db/connection.h"
#include "store/memory_admin.h"

namespace nodrel::app {

using store::ListedMemory;

struct ListFilter {
  std::optional<std::string> project;  // compared with the stored project exactly
  std::int64_t limit = 50;
  bool includeDeleted = false;
};

// Newest first (by created_at, then by insertion). Throws db::Error.
std::vector<ListedMemory> listMemories(db::Connection& connection, const ListFilter& filter);

// An id that names no memory, several, or is too short to name one; nothing has been changed.
class ForgetError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The shortest text `forget` takes for an id, and the length `list` shows.
inline constexpr std::size_t kMinimumIdPrefix = 8;
inline constexpr std::size_t kListedIdLength = 12;

struct ForgetOutcome {
  ListedMemory memory;  // as it was before
  bool alreadyForgotten = false;
};

// Resolves every id (a whole id or a unique prefix of at least kMinimumIdPrefix characters)
// first, then marks the live ones deleted now, all in one transaction. Throws ForgetError for
// the first id that does not resolve, before anything is changed; db::Error.
std::vector<ForgetOutcome> forgetMemories(db::Connection& connection,
                                          const std::vector<std::string>& ids);

}  // namespace nodrel::app
