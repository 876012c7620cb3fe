#include "platform/user_defaults.h"

#include <cmath>
#include <limits>
#include <system_error>

#include "platform/files.h"
#include "platform/paths.h"

namespace nodrel::platform::UserDefaults {
namespace {

using nlohmann::json;

bool isBlank(const std::string& text) {
  return text.find_first_not_of(" \t\r\n") == std::string::npos;
}

// The stored object; a missing, unreadable or unparsable file reads as empty.
json readObject() {
  auto text = readFile(filePath());
  if (!text) return json::object();
  json parsed = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded() || !parsed.is_object()) return json::object();
  return parsed;
}

// The stored object for a read-modify-write. Anything the user keeps in the file that this
// code cannot read back is refused rather than replaced by a near-empty object.
json readObjectForUpdate(const std::filesystem::path& path) {
  std::error_code ec;
  const bool exists = std::filesystem::exists(path, ec);
  if (!exists) return json::object();
  auto text = readFile(path);
  if (!text) throw DefaultsError("cannot read the defaults file " + path.string());
  if (isBlank(*text)) return json::object();
  json parsed = json::parse(*text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) {
    throw DefaultsError("the defaults file " + path.string() +
                        " is not valid JSON; fix or remove it before changing a setting");
  }
  if (!parsed.is_object()) {
    throw DefaultsError("the defaults file " + path.string() +
                        " does not hold a JSON object; fix or remove it before changing a "
                        "setting");
  }
  return parsed;
}

template <typename Change>
void update(Change&& change) {
  const std::filesystem::path path = filePath();
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  if (ec) {
    throw DefaultsError("cannot create " + path.parent_path().string() + ": " + ec.message());
  }
  try {
    FileLock lock(path);
    json object = readObjectForUpdate(path);
    if (!change(object)) return;
    // Strings that are not valid UTF-8 are written with replacement characters rather than
    // making the whole file unreadable.
    const std::string text = object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    atomicWriteFile(path, text);
  } catch (const FileError& e) {
    throw DefaultsError(e.what());
  }
}

}  // namespace

std::filesystem::path filePath() {
  auto config = userConfigDirectory();
  const std::filesystem::path directory = config ? *config : std::filesystem::path(".config");
  return directory / "Nodrel" / "defaults.json";
}

std::optional<nlohmann::json> value(const std::string& key) {
  json object = readObject();
  auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  return *it;
}

std::optional<std::int64_t> integerForKey(const std::string& key) {
  auto v = value(key);
  if (!v) return std::nullopt;
  if (v->is_number_unsigned()) {
    const auto u = v->get<std::uint64_t>();
    if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
      return std::nullopt;
    }
    return static_cast<std::int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<std::int64_t>();
  if (v->is_number_float()) {
    // 5.0 converts exactly; 5.5, and anything beyond 64 bits, does not.
    const double d = v->get<double>();
    if (!std::isfinite(d) || std::trunc(d) != d) return std::nullopt;
    if (d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    return static_cast<std::int64_t>(d);
  }
  return std::nullopt;
}

std::optional<std::string> stringForKey(const std::string& key) {
  auto v = value(key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<bool> boolForKey(const std::string& key) {
  auto v = value(key);
  if (!v || !v->is_boolean()) return std::nullopt;
  return v->get<bool>();
}

std::optional<double> doubleForKey(const std::string& key) {
  auto v = value(key);
  if (!v || !v->is_number()) return std::nullopt;
  return v->get<double>();
}

void set(const std::string& key, const nlohmann::json& newValue) {
  update([&](json& object) {
    object[key] = newValue;
    return true;
  });
}

void remove(const std::string& key) {
  update([&](json& object) { return object.erase(key) > 0; });
}

}  // namespace nodrel::platform::UserDefaults
