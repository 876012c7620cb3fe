#include "capture/session_watermark.h"

#include <chrono>
#include <exception>
#include <system_error>

#include <nlohmann/json.hpp>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/sha256.h"

namespace nodrel::capture {
namespace {

using nlohmann::json;

constexpr auto kUntouchedLifetime = std::chrono::hours(24 * 30);

// Session ids come from the payload: hashed, one can name no other file.
std::filesystem::path watermarkPath(const std::string& sessionId) {
  return watermarkDirectory() / (platform::sha256Hex(sessionId) + ".json");
}

std::optional<platform::Instant> instantAt(const json& object, const char* key) {
  auto it = object.find(key);
  if (it == object.end() || !it->is_string()) return std::nullopt;
  return platform::sharedTimestampFormatter().parse(it->get_ref<const std::string&>());
}

void removeUntouched(const std::filesystem::path& directory) {
  std::error_code ec;
  const auto cutoff = std::filesystem::file_time_type::clock::now() - kUntouchedLifetime;
  for (std::filesystem::directory_iterator it(directory, ec), end; !ec && it != end;
       it.increment(ec)) {
    std::error_code entryError;
    if (it->path().extension() != ".json") continue;
    if (it->last_write_time(entryError) < cutoff && !entryError) {
      std::filesystem::remove(it->path(), entryError);
    }
  }
}

}  // namespace

std::filesystem::path watermarkDirectory() {
  return platform::NodrelPaths::directory("watermarks");
}

std::optional<SessionWatermark> loadWatermark(const std::string& sessionId) {
  auto bytes = platform::readFile(watermarkPath(sessionId));
  if (!bytes) return std::nullopt;
  const json object = json::parse(*bytes, nullptr, /*allow_exceptions=*/false);
  if (!object.is_object()) return std::nullopt;
  auto path = object.find("transcript_path");
  auto offset = object.find("offset");
  if (path == object.end() || !path->is_string() || offset == object.end() ||
      !offset->is_number_unsigned()) {
    return std::nullopt;
  }
  SessionWatermark watermark;
  watermark.transcriptPath = path->get<std::string>();
  watermark.offset = offset->get<std::uint64_t>();
  if (auto question = object.find("last_question");
      question != object.end() && question->is_string()) {
    watermark.lastQuestion = question->get<std::string>();
  }
  watermark.earliest = instantAt(object, "earliest");
  watermark.latest = instantAt(object, "latest");
  if (auto digest = object.find("digest"); digest != object.end() && digest->is_string()) {
    watermark.digest = digest->get<std::string>();
  }
  if (auto answer = object.find("payload_answer"); answer != object.end() && answer->is_string()) {
    watermark.payloadAnswer = answer->get<std::string>();
  }
  return watermark;
}

void saveWatermark(const std::string& sessionId, const SessionWatermark& watermark) {
  try {
    const std::filesystem::path directory = watermarkDirectory();
    const std::filesystem::path path = watermarkPath(sessionId);
    std::error_code ec;
    const bool first = !std::filesystem::exists(path, ec);
    platform::NodrelPaths::ensureDirectory(directory);
    if (first) removeUntouched(directory);

    json object = {{"transcript_path", watermark.transcriptPath}, {"offset", watermark.offset}};
    if (watermark.lastQuestion) object["last_question"] = *watermark.lastQuestion;
    const auto& formatter = platform::sharedTimestampFormatter();
    if (watermark.earliest) object["earliest"] = formatter.format(*watermark.earliest);
    if (watermark.latest) object["latest"] = formatter.format(*watermark.latest);
    if (!watermark.digest.empty()) object["digest"] = watermark.digest;
    if (watermark.payloadAnswer) object["payload_answer"] = *watermark.payloadAnswer;
    // Written after every turn; a watermark lost in a crash costs one scan again, not data.
    platform::replaceFile(path, object.dump(-1, ' ', false, json::error_handler_t::replace));
  } catch (const std::exception&) {
  }
}

}  // namespace nodrel::capture
