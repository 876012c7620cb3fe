#include "store/capacity.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <exception>

#include <nlohmann/json.hpp>

#include "db/statement.h"
#include "platform/notifications.h"
#include "platform/user_defaults.h"
#include "store/demotion.h"
#include "store/file_byte_count.h"
#include "store/pending_write_queue.h"

namespace nodrel::store {
namespace {

// What the budgets bound is the memories themselves, estimated as demotion estimates them;
// the database file never shrinks and also holds the audit log and the code tables.
constexpr std::string_view kActiveUsedBytes = R"sql(
    SELECT COALESCE(SUM(body_tokens * 4), 0) FROM memories
    WHERE tier != 'cold' AND deleted_at IS NULL)sql";

constexpr std::int64_t kBytesPerToken = 4;

constexpr std::string_view kColdUsedBytes = R"sql(
    SELECT COALESCE(SUM(body_tokens * 4), 0) FROM memories
    WHERE tier = 'cold' AND deleted_at IS NULL)sql";

// What the sum above can be at most, from a few seeks of the indexes instead of a read of every
// memory: the rowid span bounds the number of rows, and no live memory of a tier other than
// cold holds more tokens than its tier's largest count. The tiers are walked one seek each, in
// index order; the row whose tier is NULL ends the walk.
constexpr std::string_view kActiveUsageBound = R"sql(
    WITH RECURSIVE tiers(tier) AS (
      SELECT min(tier) FROM memories
      UNION ALL
      SELECT (SELECT min(tier) FROM memories WHERE memories.tier > tiers.tier) FROM tiers
      WHERE tiers.tier IS NOT NULL
      LIMIT ?)
    SELECT tier, tier != 'cold',
           (SELECT max(body_tokens) FROM memories
            WHERE memories.tier = tiers.tier AND deleted_at IS NULL),
           (SELECT min(rowid) FROM memories), (SELECT max(rowid) FROM memories)
    FROM tiers)sql";

// More distinct tiers than this and the bound is not worth its seeks.
constexpr std::int64_t kBoundedTiers = 16;

std::string blockedDescription(std::int64_t activeUsed, std::int64_t activeCap,
                               std::int64_t coldUsed, std::int64_t coldCap) {
  return "Nodrel is at capacity. Active: " + fileByteCountString(activeUsed) + "/" +
         fileByteCountString(activeCap) + ". Cold: " + fileByteCountString(coldUsed) + "/" +
         fileByteCountString(coldCap) + ". Raise a cap or delete cold archive to continue.";
}

// A setting "read as a signed 64-bit integer": integers in range, and numbers with no
// fraction that convert exactly; strings, booleans, fractions and the rest do not.
std::optional<std::int64_t> integerSetting(std::string_view key) {
  std::optional<nlohmann::json> value;
  try {
    value = platform::UserDefaults::value(std::string(key));
  } catch (const std::exception&) {
    return std::nullopt;
  }
  if (!value) return std::nullopt;
  if (value->is_number_unsigned()) {
    auto u = value->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
    return static_cast<std::int64_t>(u);
  }
  if (value->is_number_integer()) return value->get<std::int64_t>();
  if (value->is_number_float()) {
    double d = value->get<double>();
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::int64_t usedBytes(db::Connection& connection, std::string_view sql) {
  try {
    auto v = connection.scalar(sql);
    if (!v) return 0;
    if (auto i = db::integerOf(*v)) return *i;
    return 0;
  } catch (const std::exception&) {
    return 0;
  }
}

// Nothing when a bound cannot be had: a token count that is not a number (the sum converts
// text and blobs, whose maximum says nothing of it), too many tiers, a product past 64 bits.
std::optional<std::int64_t> activeUsageBound(db::Connection& connection) {
  std::int64_t largestTokens = 0;
  std::optional<std::int64_t> rows;
  bool walked = false;
  const db::Value limit{kBoundedTiers + 1};
  for (const db::Row& row : connection.query(kActiveUsageBound, {limit})) {
    if (db::isNull(row[0])) {
      walked = true;
      const auto first = db::integerOf(row[3]), last = db::integerOf(row[4]);
      // Rowids are distinct integers, so the span holds every row; no row, no usage.
      if (first && last) {
        const __int128 span = static_cast<__int128>(*last) - *first + 1;
        if (span > INT64_MAX) return std::nullopt;
        rows = static_cast<std::int64_t>(span);
      } else {
        rows = 0;
      }
      break;
    }
    if (db::integerOf(row[1]).value_or(0) == 0) continue;  // the cold tier
    const db::Value& tokens = row[2];
    if (db::isNull(tokens)) continue;  // no live memory, or none with a count
    if (auto i = db::integerOf(tokens)) {
      largestTokens = std::max(largestTokens, *i);
    } else if (auto r = db::realOf(tokens); r && std::isfinite(*r) && *r < 9.0e18) {
      if (*r > 0) largestTokens = std::max(largestTokens, static_cast<std::int64_t>(std::ceil(*r)));
    } else {
      return std::nullopt;
    }
  }
  if (!walked || !rows) return std::nullopt;
  // Both factors are below 2^63, so neither product leaves 128 bits.
  const __int128 tokens = static_cast<__int128>(*rows) * largestTokens;
  if (tokens > INT64_MAX / kBytesPerToken) return std::nullopt;
  const __int128 bound = tokens * kBytesPerToken;
  return static_cast<std::int64_t>(bound);
}

}  // namespace

WriteBlockedError::WriteBlockedError(std::int64_t activeUsed, std::int64_t activeCap,
                                     std::int64_t coldUsed, std::int64_t coldCap)
    : std::runtime_error(blockedDescription(activeUsed, activeCap, coldUsed, coldCap)),
      activeUsed_(activeUsed),
      activeCap_(activeCap),
      coldUsed_(coldUsed),
      coldCap_(coldCap) {}

std::optional<std::int64_t> activeBudgetBytes() {
  auto budget = integerSetting(kActiveBudgetKey);
  if (!budget || *budget < 1) return std::nullopt;
  return budget;
}

std::int64_t coldBudgetBytes() { return integerSetting(kColdBudgetKey).value_or(0); }

std::int64_t activeUsedBytes(db::Connection& connection) {
  return usedBytes(connection, kActiveUsedBytes);
}

std::int64_t coldUsedBytes(db::Connection& connection) {
  return usedBytes(connection, kColdUsedBytes);
}

void enforceCapacity(db::Connection& connection, platform::NotificationCenter& notifications) {
  const auto budget = activeBudgetBytes();
  if (!budget) return;
  // Most writes are far below the budget, which a bound from a few seeks shows without the
  // sum over every memory; the sum decides whenever the bound does not.
  try {
    if (const auto bound = activeUsageBound(connection); bound && *bound < *budget) return;
  } catch (const std::exception&) {
  }
  const std::int64_t used = activeUsedBytes(connection);
  if (used < *budget) return;

  const std::int64_t bytesToFree =
      (used - *budget) + static_cast<std::int64_t>(std::trunc(static_cast<double>(*budget) * 0.1));

  const std::int64_t coldBudget = coldBudgetBytes();
  const std::int64_t coldUsed = coldUsedBytes(connection);
  if (coldBudget != 0 && coldUsed >= coldBudget) {
    throw WriteBlockedError(used, *budget, coldUsed, coldBudget);
  }

  runDemotionPass(bytesToFree, connection, notifications);
}

void postBothTiersFullNotification(const PendingWriteQueue& queue,
                                   platform::NotificationCenter& notifications) {
  const auto held = static_cast<std::int64_t>(queue.size());
  notifications.post(
      {std::string(kBothTiersFullNotification), {{"queuedCount", held + queue.fileCount()}}});
}

}  // namespace nodrel::store
