// store/capacity.h: the byte budgets of the active and cold tiers, the demotion of the
// least valuable active memories to the cold tier, and the refusal of a write when both
// budgets are exhausted. Budgets come from the user defaults, read afresh on every call; usage
// is the estimated size (body tokens × 4) of the live memories of each tier.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "platform/time.h"
#include "store/memory.h"

namespace nodrel::store {

inline constexpr std::string_view kActiveBudgetKey = "nodrel.storage.activeBudgetBytes";
inline constexpr std::string_view kColdBudgetKey = "nodrel.storage.coldBudgetBytes";

// Posted on the default notification centre; observed by nothing in the programs.
// User info "count" and "freedBytes".
inline constexpr std::string_view kActiveDemotionOccurredNotification =
    "nodrel.activeDemotionOccurred";
// User info "queuedCount": writes held in memory plus entries of the pending-write file.
inline constexpr std::string_view kBothTiersFullNotification = "nodrel.bothTiersFull";

// The refusal of a new memory: the active budget is reached and so is a cold limit
// (the one case, "both tiers full"). what() is the user-facing description.
class WriteBlockedError : public std::runtime_error {
 public:
  WriteBlockedError(std::int64_t activeUsed, std::int64_t activeCap, std::int64_t coldUsed,
                    std::int64_t coldCap);

  std::int64_t activeUsed() const noexcept { return activeUsed_; }
  std::int64_t activeCap() const noexcept { return activeCap_; }
  std::int64_t coldUsed() const noexcept { return coldUsed_; }
  std::int64_t coldCap() const noexcept { return coldCap_; }

 private:
  std::int64_t activeUsed_;
  std::int64_t activeCap_;
  std::int64_t coldUsed_;
  std::int64_t coldCap_;
};

// A byte count in the style of a file-size formatter with decimal units: "Zero KB",
// "1 byte", "999 bytes", "1 KB" (whole kilobytes), "1.5 MB" (one decimal), "1.23 GB" (two
// decimals, and so on up to EB); halves round to even, trailing zeros are dropped, a value
// that rounds up to 1,000 of a unit is written in the next one, negatives carry a "-".
std::string fileByteCountString(std::int64_t bytes);

// The active budget, or nothing when the key is absent, not exactly a 64-bit integer, or
// below 1 (no budget).
std::optional<std::int64_t> activeBudgetBytes();
// The cold budget: 0 (no limit) when the key is absent or not exactly a 64-bit integer.
std::int64_t coldBudgetBytes();
// Estimated bytes of the live memories outside / inside the cold tier; 0 when the query fails.
std::int64_t activeUsedBytes(db::Connection& connection);
std::int64_t coldUsedBytes(db::Connection& connection);

// Returns when a new memory may be inserted, after a demotion pass once the active budget is
// reached. Throws WriteBlockedError, before changing anything, when the cold budget is reached
// as well; every other failure inside is absorbed.
void enforceCapacity(db::Connection& connection);

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

void postDemotionNotification(std::int64_t count, std::int64_t freedBytes);
// Posted by every writer after it has queued a refused write.
void postBothTiersFullNotification();

}  // namespace nodrel::store
