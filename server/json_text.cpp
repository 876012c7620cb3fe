#include "server/json_text.h"

#include <exception>

namespace nodrel::server {
namespace {

using nlohmann::json;

struct TooDeep {};

std::optional<std::string> serialise(const json& value, int indent) {
  try {
    // nlohmann writes NaN and infinities as null already; replacing bad UTF-8 is the rest.
    return value.dump(indent, ' ', false, json::error_handler_t::replace);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<json> parseObject(std::string_view text) {
  // The callback sees every container as it opens, so a hostile line is refused at the first
  // level too deep instead of after building the whole tree.
  auto depthGuard = [](int depth, json::parse_event_t event, json&) {
    if ((event == json::parse_event_t::object_start || event == json::parse_event_t::array_start) &&
        static_cast<std::size_t>(depth) >= kMaxJsonDepth) {
      throw TooDeep{};
    }
    return true;
  };
  try {
    json value = json::parse(text.begin(), text.end(), depthGuard);
    if (!value.is_object()) return std::nullopt;
    return value;
  } catch (const TooDeep&) {
    return std::nullopt;
  } catch (const json::exception&) {
    return std::nullopt;
  }
}

std::optional<std::string> serialiseCompact(const json& value) { return serialise(value, -1); }
std::optional<std::string> serialisePretty(const json& value) { return serialise(value, 2); }

}  // namespace nodrel::server
