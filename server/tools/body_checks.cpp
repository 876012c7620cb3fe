#include "server/tools/body_checks.h"

#include <vector>

#include "platform/text.h"
#include "server/log.h"
#include "store/body_validation.h"

namespace nodrel::server {
namespace {

std::string joined(const std::vector<std::string>& messages) {
  std::string text;
  for (const auto& message : messages) {
    if (!text.empty()) text += "; ";
    text += message;
  }
  return text;
}

std::string rejection(std::string_view handler, const std::vector<std::string>& messages) {
  const std::string reasons = joined(messages);
  logLine("[nodrel-mcp] " + std::string(handler) + " blocked by validator: " + reasons);
  return "Content rejected: " + reasons;
}

}  // namespace

std::optional<std::string> refuseBody(std::string_view handler, std::string_view text) {
  auto result = store::validateMemoryBody(text);
  if (result.level != store::BodyValidationLevel::Block) return std::nullopt;
  return rejection(handler, result.messages);
}

std::optional<std::string> refuseCleanedBody(std::string_view handler, std::string_view cleaned) {
  if (platform::trimWhitespace(cleaned).empty()) {
    return rejection(handler, {"Body is empty or whitespace-only"});
  }
  std::vector<std::string> messages;
  for (const auto& marker : store::dangerousContentMarkers(cleaned)) {
    messages.push_back("Body contains dangerous embedded content: " + marker);
  }
  if (messages.empty()) return std::nullopt;
  return rejection(handler, messages);
}

std::optional<std::string> refuseRationale(std::string_view handler, std::string_view rationale) {
  if (rationale.find('\0') != std::string_view::npos)
    return "rationale must not contain null bytes";
  if (platform::graphemeCount(rationale) > 10000) return "rationale exceeds 10,000 character limit";
  return refuseBody(handler, rationale);
}

}  // namespace nodrel::server
