#include "server/validation.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "platform/text.h"
#include "platform/time.h"

namespace nodrel::server {
namespace {

constexpr std::array<std::string_view, 5> kSurfaces = {"claude_code", "claude_desktop", "claude_ai",
                                                       "cowork", "claude_chat"};
constexpr std::string_view kDefaultSurface = "claude_code";

bool isKnownSurface(std::string_view surface) {
  return std::find(kSurfaces.begin(), kSurfaces.end(), surface) != kSurfaces.end();
}

bool containsNul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

}  // namespace

std::optional<std::string> validatePathArgument(std::string_view name, std::string_view path) {
  const std::string key(name);
  if (platform::graphemeCount(path) > 500) return key + " exceeds 500 character limit";
  if (path.find("..") != std::string_view::npos) {
    return key + " must not contain path traversal (..)";
  }
  if (!path.empty() && path.front() != '/') return key + " must be an absolute path";
  if (containsNul(path)) return key + " must not contain null bytes";
  return std::nullopt;
}

std::optional<std::string> validateProjectPath(std::string_view path) {
  return validatePathArgument("project_path", path);
}

std::optional<std::string> validateContent(std::string_view content) {
  if (content.empty()) return "content is required and must not be empty";
  if (platform::graphemeCount(content) > 10000) return "content exceeds 10,000 character limit";
  if (containsNul(content)) return "content must not contain null bytes";
  return std::nullopt;
}

std::optional<std::string> validateSessionID(std::string_view sessionID) {
  if (platform::graphemeCount(sessionID) > 200) return "session_id exceeds 200 character limit";
  return std::nullopt;
}

std::string resolveSurface(const std::optional<std::string>& surface) {
  if (surface && !surface->empty()) {
    return isKnownSurface(*surface) ? *surface : std::string(kDefaultSurface);
  }
  const char* fromEnvironment = std::getenv("NODREL_SURFACE");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0' && isKnownSurface(fromEnvironment)) {
    return fromEnvironment;
  }
  return std::string(kDefaultSurface);
}

std::string currentTimestamp() {
  return platform::makeTimestampFormatter().format(platform::now());
}

}  // namespace nodrel::server
