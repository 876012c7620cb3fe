#include "store/capacity.h"

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

constexpr std::string_view kColdUsedBytes = R"sql(
    SELECT COALESCE(SUM(body_tokens * 4), 0) FROM memories
    WHERE tier = 'cold' AND deleted_at IS NULL)sql";

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

void enforceCapacity(db::Connection& connection) {
  const auto budget = activeBudgetBytes();
  if (!budget) return;
  const std::int64_t used = activeUsedBytes(connection);
  if (used < *budget) return;

  const std::int64_t bytesToFree =
      (used - *budget) + static_cast<std::int64_t>(std::trunc(static_cast<double>(*budget) * 0.1));

  const std::int64_t coldBudget = coldBudgetBytes();
  const std::int64_t coldUsed = coldUsedBytes(connection);
  if (coldBudget != 0 && coldUsed >= coldBudget) {
    throw WriteBlockedError(used, *budget, coldUsed, coldBudget);
  }

  runDemotionPass(bytesToFree, connection);
}

void postBothTiersFullNotification() {
  const auto held = static_cast<std::int64_t>(PendingWriteQueue::shared().size());
  platform::NotificationCenter::defaultCenter().post(
      {std::string(kBothTiersFullNotification),
       {{"queuedCount", held + pendingWritesFileCount()}}});
}

}  // namespace nodrel::store
