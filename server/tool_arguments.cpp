#include "server/tool_arguments.h"

#include <cmath>

namespace nodrel::server {
namespace {

const nlohmann::json* member(const nlohmann::json& arguments, std::string_view key) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : &*it;
}

}  // namespace

std::optional<std::string> stringArgument(const nlohmann::json& arguments, std::string_view key) {
  const auto* value = member(arguments, key);
  if (value == nullptr || !value->is_string()) return std::nullopt;
  return value->get<std::string>();
}

std::optional<std::int64_t> integerArgument(const nlohmann::json& arguments, std::string_view key) {
  const auto* value = member(arguments, key);
  if (value == nullptr) return std::nullopt;
  if (value->is_number_integer()) {
    if (value->is_number_unsigned() &&
        value->get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
      return std::nullopt;
    }
    return value->get<std::int64_t>();
  }
  if (value->is_number_float()) {
    const double d = value->get<double>();
    // 2^63 is the first double past the range; whole numbers below it convert exactly.
    if (std::isfinite(d) && std::trunc(d) == d && d >= -9223372036854775808.0 &&
        d < 9223372036854775808.0) {
      return static_cast<std::int64_t>(d);
    }
  }
  return std::nullopt;
}

std::optional<std::vector<std::string>> stringArrayArgument(const nlohmann::json& arguments,
                                                            std::string_view key) {
  const auto* value = member(arguments, key);
  if (value == nullptr || !value->is_array()) return std::nullopt;
  std::vector<std::string> strings;
  strings.reserve(value->size());
  for (const auto& element : *value) {
    if (!element.is_string()) return std::nullopt;
    strings.push_back(element.get<std::string>());
  }
  return strings;
}

std::optional<std::string> nonEmptyStringArgument(const nlohmann::json& arguments,
                                                  std::string_view key) {
  auto value = stringArgument(arguments, key);
  if (value && value->empty()) return std::nullopt;
  return value;
}

std::string stringOr(const nlohmann::json& arguments, std::string_view key,
                     std::string_view fallback) {
  return stringArgument(arguments, key).value_or(std::string(fallback));
}

std::vector<std::string> stringsOrNone(const nlohmann::json& arguments, std::string_view key) {
  return stringArrayArgument(arguments, key).value_or(std::vector<std::string>{});
}

}  // namespace nodrel::server
