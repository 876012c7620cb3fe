#include "capture/hook_payload.h"

#include <nlohmann/json.hpp>

#include "platform/paths.h"
#include "platform/text.h"
#include "platform/user_defaults.h"

namespace nodrel::capture {

PayloadReading readHookPayload(std::string_view input) {
  PayloadReading reading;
  if (input.empty()) return reading;
  const auto object = nlohmann::json::parse(input, nullptr, /*allow_exceptions=*/false);
  if (object.is_discarded() || !object.is_object()) return reading;
  auto session = object.find("session_id");
  auto transcript = object.find("transcript_path");
  if (session == object.end() || !session->is_string() || transcript == object.end() ||
      !transcript->is_string()) {
    reading.status = PayloadStatus::Missing;
    return reading;
  }
  reading.status = PayloadStatus::Ready;
  reading.payload.sessionId = session->get<std::string>();
  reading.payload.transcriptPath = transcript->get<std::string>();
  auto cwd = object.find("cwd");
  // Stored and looked up under the one key every table keeps a project by.
  if (cwd != object.end() && cwd->is_string()) {
    reading.payload.cwd = platform::normaliseProjectPath(cwd->get<std::string>());
  }
  auto answer = object.find("last_assistant_message");
  if (answer != object.end() && answer->is_string()) {
    std::string trimmed = platform::trimWhitespace(answer->get_ref<const std::string&>());
    if (!trimmed.empty()) reading.payload.lastAssistantMessage = std::move(trimmed);
  }
  return reading;
}

bool captureLevelIsOff() {
  return platform::UserDefaults::stringForKey(std::string(kCaptureLevelKey)) == "off";
}

void preserveQueuedWrites(store::PendingWriteQueue& queue) {
  if (queue.size() > 0) queue.spillToDisk();
}

}  // namespace nodrel::capture
