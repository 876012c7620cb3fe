// tests/capture/transcript_line.h: transcript lines as the assistant host writes them.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace nodrel::testing {

// One JSON Lines line (with its line feed) of the given type whose message content is `content`
// (a text or an array of parts); `timestamp` is left out when empty.
inline std::string transcriptLine(const std::string& type, const nlohmann::json& content,
                                  const std::string& timestamp = "") {
  nlohmann::json line = {{"type", type}, {"message", {{"role", type}, {"content", content}}}};
  if (!timestamp.empty()) line["timestamp"] = timestamp;
  return line.dump() + "\n";
}

}  // namespace nodrel::testing
