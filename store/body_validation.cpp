#include "store/body_validation.h"

#include <array>
#include <optional>

#include "platform/regex.h"
#include "platform/text.h"

namespace nodrel::store {
namespace {

constexpr std::array<std::string_view, 12> kInjectionPhrases{
    "ignore previous", "ignore all previous",
    "disregard",       "override instructions",
    "you are now",     "act as",
    "system prompt",   "<|im_start|>",
    "<|im_end|>",      "[inst]",
    "<<sys>>",         "```system"};

constexpr std::array<std::string_view, 5> kDangerousMarkers{
    "<script", "javascript:", "data:text/html", "onclick=", "onerror="};

constexpr std::string_view kInstructionLinePattern =
    R"((?im)^IMPORTANT:\s+.*(always|never|do not|must|should|ignore|disregard|forget))";
constexpr std::string_view kBase64BlockPattern = R"([A-Za-z0-9+/]{40,}={0,2})";
constexpr std::string_view kEscapeRunPattern = R"((\\u[0-9a-fA-F]{4}){5,})";
constexpr std::string_view kHtmlTagPattern = R"(<[a-z]+[^>]*>)";
constexpr std::string_view kTagPattern = R"(<[^>]+>)";
constexpr std::string_view kBlankLinesPattern = "\n{3,}";

// Compiled once; a pattern that does not compile leaves its check or step out.
const std::optional<platform::Regex>& compiled(std::string_view pattern, unsigned options) {
  struct Entry {
    std::string_view pattern;
    unsigned options;
    std::optional<platform::Regex> regex;
  };
  static std::array<Entry, 6> table{{
      {kInstructionLinePattern, 0, platform::makeRegex(kInstructionLinePattern, 0)},
      {kBase64BlockPattern, 0, platform::makeRegex(kBase64BlockPattern, 0)},
      {kEscapeRunPattern, 0, platform::makeRegex(kEscapeRunPattern, 0)},
      {kHtmlTagPattern, platform::kRegexCaseInsensitive,
       platform::makeRegex(kHtmlTagPattern, platform::kRegexCaseInsensitive)},
      {kTagPattern, 0, platform::makeRegex(kTagPattern, 0)},
      {kBlankLinesPattern, 0, platform::makeRegex(kBlankLinesPattern, 0)},
  }};
  for (const auto& e : table) {
    if (e.pattern == pattern && e.options == options) return e.regex;
  }
  static const std::optional<platform::Regex> none;
  return none;
}

bool matches(std::string_view pattern, unsigned options, std::string_view text) {
  const auto& re = compiled(pattern, options);
  return re && re->search(text);
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

}  // namespace

bool containsNullScalar(std::string_view text) { return contains(text, std::string_view("\0", 1)); }

bool containsASCIIControlCharacters(std::string_view text) {
  // UTF-8 continuation and lead bytes are all >= 0x80, so a byte scan finds exactly the scalars.
  for (unsigned char c : text) {
    if (c <= 0x08 || (c >= 0x0E && c <= 0x1F)) return true;
  }
  return false;
}

std::string removeControlCharacters(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') continue;
    out.push_back(ch);
  }
  return out;
}

std::vector<std::string> dangerousContentMarkers(std::string_view text) {
  std::vector<std::string> found;
  const std::string lower = platform::lowercase(text);
  for (auto marker : kDangerousMarkers) {
    if (contains(lower, marker)) found.emplace_back(marker);
  }
  return found;
}

BodyValidationResult validateMemoryBody(std::string_view text) {
  BodyValidationResult result;
  if (platform::trimWhitespace(text).empty()) {
    return {BodyValidationLevel::Block, {"Body is empty or whitespace-only"}};
  }
  auto warn = [&](std::string message) {
    result.messages.push_back(std::move(message));
    if (result.level == BodyValidationLevel::Ok) result.level = BodyValidationLevel::Warn;
  };
  auto block = [&](std::string message) {
    result.messages.push_back(std::move(message));
    result.level = BodyValidationLevel::Block;
  };

  const std::size_t n = platform::graphemeCount(text);
  if (n > 5000) {
    block("Body exceeds 5,000 character limit (" + std::to_string(n) + " chars)");
  } else if (n > 2000) {
    warn("Body is long (" + std::to_string(n) + " chars); consider summarising");
  }

  const std::string lower = platform::lowercase(text);
  std::string phrases;
  for (auto phrase : kInjectionPhrases) {
    if (!contains(lower, phrase)) continue;
    if (!phrases.empty()) phrases += ", ";
    phrases += phrase;
  }
  if (!phrases.empty()) warn("Possible prompt injection language: " + phrases);

  if (matches(kInstructionLinePattern, 0, text)) {
    warn("Line starts with 'IMPORTANT:' followed by instruction-like language");
  }
  if (matches(kBase64BlockPattern, 0, text)) warn("Body contains a large base64-encoded block");
  if (matches(kEscapeRunPattern, 0, text)) {
    warn("Body contains excessive Unicode escape sequences");
  }
  if (containsNullScalar(text)) warn("Body contains null bytes");
  for (auto marker : kDangerousMarkers) {
    if (contains(lower, marker)) {
      block("Body contains dangerous embedded content: " + std::string(marker));
    }
  }
  if (contains(lower, "http://") || contains(lower, "https://")) {
    warn("Body contains URLs \u2014 verify they are intentional references");
  }
  if (containsASCIIControlCharacters(text)) warn("Body contains ASCII control characters");
  if (matches(kHtmlTagPattern, platform::kRegexCaseInsensitive, text)) {
    warn("Body contains HTML tags");
  }
  return result;
}

std::string sanitizeMemoryBody(std::string_view text) {
  std::string s = platform::nfc(removeControlCharacters(text));
  if (const auto& tags = compiled(kTagPattern, 0)) s = tags->replaceAll(s, "");
  if (const auto& blanks = compiled(kBlankLinesPattern, 0)) s = blanks->replaceAll(s, "\n\n");
  return platform::trimWhitespace(s);
}

}  // namespace nodrel::store
