// server/tool_arguments.h: typed reads of a tool call's `arguments` object. A value of another
// type counts as absent, so the caller's default applies; the router never reports it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nodrel::server {

// The member when it is a JSON string.
std::optional<std::string> stringArgument(const nlohmann::json& arguments, std::string_view key);
// The member when it is a JSON number holding a whole number within the 64-bit range.
std::optional<std::int64_t> integerArgument(const nlohmann::json& arguments, std::string_view key);
// The member when it is an array of strings only.
std::optional<std::vector<std::string>> stringArrayArgument(const nlohmann::json& arguments,
                                                            std::string_view key);
// The member when it is a non-empty string.
std::optional<std::string> nonEmptyStringArgument(const nlohmann::json& arguments,
                                                  std::string_view key);
// The string member, or the fallback.
std::string stringOr(const nlohmann::json& arguments, std::string_view key,
                     std::string_view fallback);
// The array of strings, or none.
std::vector<std::string> stringsOrNone(const nlohmann::json& arguments, std::string_view key);

}  // namespace nodrel::server
