#include "platform/saturating.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace nodrel::platform {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(SaturatingAdd, StopsAtTheBoundInEitherDirection) {
  struct Case {
    std::int64_t total, amount, want;
  };
  const Case cases[] = {{1, 2, 3},
                        {kMax - 1, 1, kMax},
                        {kMax, 1, kMax},
                        {kMax - 5, 10, kMax},
                        {kMin + 1, -1, kMin},
                        {kMin, -1, kMin},
                        {kMax, kMin, -1},
                        {0, kMin, kMin},
                        {-3, 5, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.total) + " + " + std::to_string(c.amount));
    EXPECT_EQ(saturatingAdd(c.total, c.amount), c.want);
  }
}

}  // namespace
}  // namespace nodrel::platform
