// platform/saturating.h: integer sums that stop at the bound instead of overflowing, for totals
// built from values read out of the database, which no program of ours need have written.
#pragma once

#include <cstdint>
#include <limits>

namespace nodrel::platform {

inline std::int64_t saturatingAdd(std::int64_t total, std::int64_t amount) {
  std::int64_t sum = 0;
  if (!__builtin_add_overflow(total, amount, &sum)) return sum;
  return amount > 0 ? std::numeric_limits<std::int64_t>::max()
                    : std::numeric_limits<std::int64_t>::min();
}

}  // namespace nodrel::platform
