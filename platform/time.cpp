#include "platform/time.h"

#include <cstdint>
#include <cstdio>

namespace nodrel::platform {
namespace {

using std::chrono::days;
using std::chrono::milliseconds;

// 2001-01-01T00:00:00Z in milliseconds since 1970.
constexpr std::int64_t kReferenceDateMs = 978307200000;

// The value of `count` decimal digits at `text[at]`, or -1 when any of them is not a digit.
int digits(std::string_view text, std::size_t at, std::size_t count) {
  int value = 0;
  for (std::size_t i = at; i < at + count; ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return -1;
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

Instant now() { return std::chrono::floor<milliseconds>(std::chrono::system_clock::now()); }

double secondsSinceReferenceDate(Instant instant) {
  return static_cast<double>(instant.time_since_epoch().count() - kReferenceDateMs) / 1000.0;
}

double secondsSince1970(Instant instant) {
  return static_cast<double>(instant.time_since_epoch().count()) / 1000.0;
}

std::string TimestampFormatter::format(Instant instant) const {
  const auto day = std::chrono::floor<days>(instant);
  const std::chrono::year_month_day date{std::chrono::sys_days(day)};
  const std::int64_t msOfDay = (instant - day).count();
  const auto hour = static_cast<int>(msOfDay / 3'600'000);
  const auto minute = static_cast<int>(msOfDay / 60'000 % 60);
  const auto second = static_cast<int>(msOfDay / 1000 % 60);
  const auto millisecond = static_cast<int>(msOfDay % 1000);
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02d:%02d:%02d.%03d+0000",
                              static_cast<int>(date.year()), static_cast<unsigned>(date.month()),
                              static_cast<unsigned>(date.day()), hour, minute, second, millisecond);
  return std::string(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
}

std::optional<Instant> TimestampFormatter::parse(std::string_view text) const {
  // yyyy-MM-ddTHH:mm:ss.SSS followed by "+0000" or "Z".
  constexpr std::size_t kBody = 23;
  if (text.size() == kBody + 5) {
    if (text.substr(kBody) != "+0000") return std::nullopt;
  } else if (text.size() == kBody + 1) {
    if (text[kBody] != 'Z') return std::nullopt;
  } else {
    return std::nullopt;
  }
  if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':' ||
      text[19] != '.') {
    return std::nullopt;
  }
  const int year = digits(text, 0, 4);
  const int month = digits(text, 5, 2);
  const int day = digits(text, 8, 2);
  const int hour = digits(text, 11, 2);
  const int minute = digits(text, 14, 2);
  const int second = digits(text, 17, 2);
  const int millisecond = digits(text, 20, 3);
  if (year < 0 || month < 0 || day < 0 || hour < 0 || minute < 0 || second < 0 || millisecond < 0) {
    return std::nullopt;
  }
  if (hour > 23 || minute > 59 || second > 59) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(year),
                                         std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  if (!date.ok()) return std::nullopt;
  return Instant(std::chrono::sys_days(date).time_since_epoch()) +
         milliseconds(((hour * 60 + minute) * 60 + second) * std::int64_t{1000} + millisecond);
}

TimestampFormatter makeTimestampFormatter() { return TimestampFormatter{}; }

const TimestampFormatter& sharedTimestampFormatter() {
  static const TimestampFormatter formatter = makeTimestampFormatter();
  return formatter;
}

std::string currentTimestampText() { return sharedTimestampFormatter().format(now()); }

}  // namespace nodrel::platform
