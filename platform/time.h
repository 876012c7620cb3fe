// platform/time.h: instants and the one database timestamp form,
// "yyyy-MM-dd'T'HH:mm:ss.SSSZ" in GMT, e.g. 2026-01-15T14:03:07.250+0000 (28 characters).
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace nodrel::platform {

using Instant = std::chrono::time_point<std::chrono::system_clock, std::chrono::milliseconds>;

Instant now();
// Seconds since 2001-01-01T00:00:00Z (the reference date of the pending-write file).
double secondsSinceReferenceDate(Instant instant);
double secondsSince1970(Instant instant);

class TimestampFormatter {
 public:
  std::string format(Instant instant) const;
  // The instant, or nothing for any text not of the form above; a literal "Z" is accepted in
  // place of "+0000".
  std::optional<Instant> parse(std::string_view text) const;
};

TimestampFormatter makeTimestampFormatter();
// Process-wide, created on first use.
const TimestampFormatter& sharedTimestampFormatter();

// sharedTimestampFormatter().format(now())
std::string currentTimestampText();

}  // namespace nodrel::platform
