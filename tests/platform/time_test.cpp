#include "platform/time.h"

#include <chrono>
#include <string>

#include <gtest/gtest.h>

namespace nodrel::platform {
namespace {

using std::chrono::milliseconds;

Instant at(std::int64_t ms) { return Instant(milliseconds(ms)); }

TEST(Timestamp, FormatsInGmtWithMilliseconds) {
  struct Case {
    std::int64_t ms;
    std::string want;
  };
  const Case cases[] = {
      {0, "1970-01-01T00:00:00.000+0000"},
      {1768485787250, "2026-01-15T14:03:07.250+0000"},
      {978307200000, "2001-01-01T00:00:00.000+0000"},
      {951782400999, "2000-02-29T00:00:00.999+0000"},
      {-1, "1969-12-31T23:59:59.999+0000"},
      {253402300799999, "9999-12-31T23:59:59.999+0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.want);
    EXPECT_EQ(sharedTimestampFormatter().format(at(c.ms)), c.want);
  }
}

TEST(Timestamp, RoundTripsAndHas28Characters) {
  const auto& f = sharedTimestampFormatter();
  for (std::int64_t ms : {std::int64_t{0}, std::int64_t{1}, std::int64_t{1768485787250},
                          std::int64_t{-86'400'001}, now().time_since_epoch().count()}) {
    SCOPED_TRACE(ms);
    const std::string text = f.format(at(ms));
    EXPECT_EQ(text.size(), 28u);
    EXPECT_TRUE(text.ends_with("+0000"));
    auto back = f.parse(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->time_since_epoch().count(), ms);
  }
  EXPECT_EQ(currentTimestampText().size(), 28u);
}

TEST(Timestamp, ParsesZuluForm) {
  auto t = sharedTimestampFormatter().parse("2026-01-15T14:03:07.250Z");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->time_since_epoch().count(), 1768485787250);
}

TEST(Timestamp, RejectsEverythingElse) {
  const char* cases[] = {
      "",
      "2026-01-15T14:03:07.250",
      "2026-01-15T14:03:07+0000",  // no milliseconds
      "2026-01-15T14:03:07Z",
      "2026-01-15T14:03:07.25+0000",
      "2026-01-15T14:03:07.2500+0000",
      "2026-01-15T14:03:07.250+00:00",
      "2026-01-15T14:03:07.250+0100",
      "2026-01-15 14:03:07.250+0000",
      "2026-01-15T14:03:07.250z",
      "2026-13-15T14:03:07.250+0000",
      "2026-02-29T14:03:07.250+0000",  // not a leap year
      "2026-01-32T14:03:07.250+0000",
      "2026-01-15T24:00:00.000+0000",
      "2026-01-15T14:60:07.250+0000",
      "2026-01-15T14:03:60.250+0000",
      "2026-00-15T14:03:07.250+0000",
      "+026-01-15T14:03:07.250+0000",
      "2026-01-15T14:03:07.250+0000 ",
      " 2026-01-15T14:03:07.250+0000",
      "2026-01-1xT14:03:07.250+0000",
  };
  for (const char* text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(sharedTimestampFormatter().parse(text).has_value());
  }
  EXPECT_TRUE(sharedTimestampFormatter().parse("2024-02-29T23:59:59.999+0000"));
}

TEST(Timestamp, TextOrderIsTimeOrder) {
  const auto& f = sharedTimestampFormatter();
  EXPECT_LT(f.format(at(1768485787250)), f.format(at(1768485787251)));
  EXPECT_LT(f.format(at(999)), f.format(at(1000)));
}

TEST(Clock, ReferenceDates) {
  EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(at(978307200000)), 0.0);
  EXPECT_DOUBLE_EQ(secondsSinceReferenceDate(at(978307201500)), 1.5);
  EXPECT_DOUBLE_EQ(secondsSince1970(at(1500)), 1.5);
  const auto before = std::chrono::floor<milliseconds>(std::chrono::system_clock::now());
  const Instant n = now();
  EXPECT_GE(n, before);
}

}  // namespace
}  // namespace nodrel::platform
