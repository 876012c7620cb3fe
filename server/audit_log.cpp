#include "server/audit_log.h"

#include <cstddef>
#include <exception>
#include <string>

#include "platform/text.h"
#include "platform/time.h"
#include "server/json_text.h"
#include "server/log.h"
#include "store/audit_log.h"

namespace nodrel::server {
namespace {

using nlohmann::json;

constexpr std::size_t kMaxParameterCharacters = 1000;

bool isSecretKey(const std::string& key) {
  const std::string lower = platform::lowercase(key);
  for (std::string_view marker : {"key", "secret", "token", "password"}) {
    if (lower.find(marker) != std::string::npos) return true;
  }
  return false;
}

// An array keeps its first members while their compact text fits in the bound, then ends with
// "…" in place of the rest: one call naming 200,000 files would otherwise store them all.
json cutArray(const json& array) {
  json kept = json::array();
  std::size_t used = 2;  // the brackets
  for (const auto& member : array) {
    const std::size_t size =
        serialiseCompact(member).value_or("null").size() + (kept.empty() ? 0 : 1);
    if (used + size > kMaxParameterCharacters) {
      kept.push_back("\u2026");
      break;
    }
    used += size;
    kept.push_back(member);
  }
  return kept;
}

}  // namespace

std::optional<std::string> redactedParametersJSON(const json& arguments) {
  json redacted = json::object();
  if (arguments.is_object()) {
    for (const auto& [key, value] : arguments.items()) {
      if (isSecretKey(key)) {
        redacted[key] = "[REDACTED]";
      } else if (value.is_string()) {
        const auto& text = value.get_ref<const std::string&>();
        // Cheap test first: a text of at most 1000 bytes has at most 1000 characters.
        if (text.size() > kMaxParameterCharacters &&
            platform::graphemeCount(text) > kMaxParameterCharacters) {
          redacted[key] = platform::graphemePrefix(text, kMaxParameterCharacters) + "\u2026";
        } else {
          redacted[key] = value;
        }
      } else if (value.is_array()) {
        redacted[key] = cutArray(value);
      } else {
        redacted[key] = value;
      }
    }
  }
  // nlohmann keeps object keys in a std::map, so the text comes out with its keys sorted.
  return serialiseCompact(redacted);
}

void recordAuditEntry(db::Connection& connection, const std::string& toolName,
                      const json& arguments, const std::optional<std::string>& sessionID,
                      const std::optional<std::string>& resultSummary,
                      const std::optional<std::string>& impactScope) {
  const std::string time = platform::currentTimestampText();
  try {
    store::insertAuditEntry(time, sessionID, toolName, redactedParametersJSON(arguments),
                            resultSummary, impactScope, connection);
  } catch (const std::exception& e) {
    logLine(std::string("[nodrel:audit] insert failed: ") + e.what());
  }
}

}  // namespace nodrel::server
