// platform/user_defaults.h: the user-defaults store, one JSON object in
// $XDG_CONFIG_HOME/Nodrel/defaults.json shared by both programs. Every read re-reads the file;
// values keep their JSON type and each caller applies its own "read as" rules.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace nodrel::platform {

class DefaultsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

namespace UserDefaults {

std::filesystem::path filePath();

// The value stored under the key, or nothing when the key, the file or a parse is missing
// (a file that does not parse reads as empty).
std::optional<nlohmann::json> value(const std::string& key);

// An integer only when the stored number converts to a signed 64-bit integer exactly: 5 and
// 5.0 read as 5; a string, a fraction or a number beyond 64 bits reads as absent.
std::optional<std::int64_t> integerForKey(const std::string& key);
std::optional<std::string> stringForKey(const std::string& key);
std::optional<bool> boolForKey(const std::string& key);
std::optional<double> doubleForKey(const std::string& key);  // integers and fractions

// Writes go to a temporary file in the same directory and are renamed into place while an
// advisory lock is held, so concurrent writers of different keys lose neither. A file that
// does not parse is never overwritten: these throw DefaultsError instead.
void set(const std::string& key, const nlohmann::json& value);
void remove(const std::string& key);

}  // namespace UserDefaults
}  // namespace nodrel::platform
