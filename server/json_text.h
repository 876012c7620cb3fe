// server/json_text.h: JSON in and out of the protocol stream. Reading refuses what could hurt
// the server (nesting without bound); writing cannot fail on text from the database or files.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace nodrel::server {

inline constexpr std::size_t kMaxJsonDepth = 128;

// The object the text holds, or nothing when it is not exactly one JSON object (a parse error,
// an array, a scalar, trailing text) or nests deeper than kMaxJsonDepth.
std::optional<nlohmann::json> parseObject(std::string_view text);

// Compact UTF-8 text. Invalid UTF-8 inside strings becomes U+FFFD; NaN and infinities become
// null. Nothing only when the value still cannot be written.
std::optional<std::string> serialiseCompact(const nlohmann::json& value);
// The same, indented for a reader.
std::optional<std::string> serialisePretty(const nlohmann::json& value);

}  // namespace nodrel::server
