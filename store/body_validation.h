// store/body_validation.h: the checks a body passes before a tool stores it, and its cleaning.
// Pure functions: no I/O, and they cannot fail.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace nodrel::store {

enum class BodyValidationLevel { Ok = 0, Warn = 1, Block = 2 };

struct BodyValidationResult {
  BodyValidationLevel level = BodyValidationLevel::Ok;
  std::vector<std::string> messages;  // in the order of the checks
  friend bool operator==(const BodyValidationResult&, const BodyValidationResult&) = default;
};

BodyValidationResult validateMemoryBody(std::string_view text);
std::string sanitizeMemoryBody(std::string_view text);

// The five dangerous-content markers found in the lower-cased text, in list order.
std::vector<std::string> dangerousContentMarkers(std::string_view text);

bool containsNullScalar(std::string_view text);
bool containsASCIIControlCharacters(std::string_view text);
std::string removeControlCharacters(std::string_view text);

}  // namespace nodrel::store
