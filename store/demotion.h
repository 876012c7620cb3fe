// store/demotion.h: the move of the least valuable active memories to the cold tier once the
// active budget is reached: their scores (use, recency, links, type), the choice of what to
// move, and the pass that moves them and records it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "platform/notifications.h"
#include "platform/time.h"
#include "store/memory.h"

namespace nodrel::store {

// Posted on the default notification centre; observed by nothing in the programs.
// User info "count" and "freedBytes".
inline constexpr std::string_view kActiveDemotionOccurredNotification =
    "nodrel.activeDemotionOccurred";

struct MemoryLinkCounts {
  std::int64_t degree = 0;  // links touching the memory, either direction
  std::int64_t twoHop = 0;  // distinct targets two outgoing links away, itself excluded
  friend bool operator==(const MemoryLinkCounts&, const MemoryLinkCounts&) = default;
};

// Throws db::Error when a statement cannot be prepared or stepped.
MemoryLinkCounts memoryLinkCounts(const std::string& memoryID, db::Connection& connection);

// The same counts for many memories from one read of the links; nothing when that fails.
std::optional<std::vector<MemoryLinkCounts>> memoryLinkCountsOfAll(
    const std::vector<std::string>& memoryIDs, db::Connection& connection);

// What a demotion pass may demote: the active, unpinned, live memories, least recently accessed
// first. Throws db::Error.
std::vector<Memory> demotionCandidates(db::Connection& connection);

// 0.1 × this is the type term of the demotion score.
double demotionTypeWeight(MemoryType type);

// The demotion score of each candidate, in the given order (lower is demoted first).
// `counts[i]` is nothing when the link counts of candidate i could not be read.
std::vector<double> demotionScores(const std::vector<Memory>& candidates,
                                   const std::vector<std::optional<MemoryLinkCounts>>& counts,
                                   platform::Instant now);

// The active, unpinned, live memories to demote, lowest score first (ties: least recently
// accessed first), until their estimated bytes reach `bytesToFree`. Never throws.
std::vector<Memory> rankDemotionCandidates(std::int64_t bytesToFree, db::Connection& connection);

// Moves the ranked memories to the cold tier, each with its history row, then writes the
// pass's audit row and posts the demotion notification on `notifications`, also when nothing
// moved. Every failure inside is absorbed.
void runDemotionPass(std::int64_t bytesToFree, db::Connection& connection,
                     platform::NotificationCenter& notifications);

void postDemotionNotification(platform::NotificationCenter& notifications, std::int64_t count,
                              std::int64_t freedBytes);

}  // namespace nodrel::store
