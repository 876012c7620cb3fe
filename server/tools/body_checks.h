// server/tools/body_checks.h: the body check every memory-writing tool runs before it stores,
// and the second look after cleaning, since removing tags can rebuild a dangerous marker
// ("java<b>script:" cleans to "javascript:").
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace nodrel::server {

// The "Content rejected: " error when the body check refuses the text, after the
// "[nodrel-mcp] <handler> blocked by validator: " line; nothing when it may be stored.
std::optional<std::string> refuseBody(std::string_view handler, std::string_view text);

// The same for a cleaned body that holds a dangerous-content marker, or nothing at all once its
// tags are gone ("<b></b>"), which would store an empty note.
std::optional<std::string> refuseCleanedBody(std::string_view handler, std::string_view cleaned);

// A rationale is stored with what it explains and shown again in later contexts, so it gets the
// content's checks: no NUL, at most 10,000 characters, and the body check. The error, or nothing.
std::optional<std::string> refuseRationale(std::string_view handler, std::string_view rationale);

}  // namespace nodrel::server
