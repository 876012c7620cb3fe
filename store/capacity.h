// store/capacity.h: the byte budgets of the active and cold tiers, the check every writer of a
// new memory makes against them (a demotion pass, store/demotion.h, once the active budget is
// reached), and the refusal of a write when both budgets are exhausted. Budgets come from the
// user defaults, read afresh on every call; usage is the estimated size (body tokens × 4) of
// the live memories of each tier.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "db/connection.h"
#include "platform/notifications.h"
#include "store/pending_write_queue.h"

namespace nodrel::store {

inline constexpr std::string_view kActiveBudgetKey = "nodrel.storage.activeBudgetBytes";
inline constexpr std::string_view kColdBudgetKey = "nodrel.storage.coldBudgetBytes";

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
// as well; every other failure inside is absorbed. A demotion is announced on `notifications`.
void enforceCapacity(db::Connection& connection, platform::NotificationCenter& notifications);

// Posted on `notifications` by every writer after it has queued a refused write in `queue`; the
// count is what the queue holds and what its file holds.
void postBothTiersFullNotification(const PendingWriteQueue& queue,
                                   platform::NotificationCenter& notifications);

}  // namespace nodrel::store
