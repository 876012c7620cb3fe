#include "store/surface_condition.h"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace nodrel::store {
namespace {

using nlohmann::json;

bool isASCII(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// User-perceived characters of the text, canonically composed so that a decomposed accent
// (as macOS file names carry) equals its composed form.
std::vector<std::string> characters(std::string_view text) {
  std::vector<std::string> out;
  if (isASCII(text)) {
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
      // CR LF is one grapheme cluster, the only multi-byte one in ASCII.
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
        out.emplace_back("\r\n");
        ++i;
      } else {
        out.emplace_back(1, text[i]);
      }
    }
    return out;
  }
  const std::string composed = platform::nfc(text);
  std::string_view rest = composed;
  while (!rest.empty()) {
    const std::size_t length = platform::graphemePrefix(rest, 1).size();
    const std::size_t take = std::clamp<std::size_t>(length, 1, rest.size());  // always progress
    out.emplace_back(rest.substr(0, take));
    rest.remove_prefix(take);
  }
  return out;
}

std::string foldCase(std::string_view text) {
  if (isASCII(text)) return platform::asciiLowercase(text);
  return platform::nfc(platform::lowercase(text));
}

bool containsIgnoringCase(std::string_view haystack, std::string_view foldedNeedle) {
  return foldCase(haystack).find(foldedNeedle) != std::string::npos;
}

std::string replaceDoubleStars(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    out.push_back(value[i]);
    if (value[i] == '*' && i + 1 < value.size() && value[i + 1] == '*') ++i;
  }
  return out;
}

// Unicode space separators (general category Zs) and the tab; line breaks are kept.
bool isKeywordSpace(char32_t c) {
  return c == U'\t' || c == U' ' || c == 0x00A0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x202F || c == 0x205F || c == 0x3000;
}

std::string trimKeywordSpaces(std::string_view piece) {
  std::u32string cps = platform::toCodePoints(piece);
  std::size_t begin = 0;
  std::size_t end = cps.size();
  while (begin < end && isKeywordSpace(cps[begin])) ++begin;
  while (end > begin && isKeywordSpace(cps[end - 1])) --end;
  return platform::fromCodePoints(std::u32string_view(cps).substr(begin, end - begin));
}

// A JSON null reads as an absent key, as an optional field does.
const json* field(const json& node, const char* key) {
  auto it = node.find(key);
  if (it == node.end() || it->is_null()) return nullptr;
  return &*it;
}

const std::string& stringField(const json& value) {
  if (!value.is_string()) throw SurfaceConditionParseError::invalidJSON();
  return value.get_ref<const std::string&>();
}

SurfaceConditionRule decodeRule(const json& node, int depth) {
  if (depth > SurfaceConditionRule::kMaxDepth || !node.is_object()) {
    throw SurfaceConditionParseError::invalidJSON();
  }
  if (const json* op = field(node, "op")) {
    const std::string& name = stringField(*op);
    if (name == "and" || name == "or") {
      const json* clauses = field(node, "clauses");
      if (!clauses) {
        throw SurfaceConditionParseError::malformedStructure(
            "'and'/'or' nodes must have a 'clauses' array");
      }
      if (!clauses->is_array()) throw SurfaceConditionParseError::invalidJSON();
      std::vector<SurfaceConditionRule> decoded;
      decoded.reserve(clauses->size());
      for (const json& clause : *clauses) decoded.push_back(decodeRule(clause, depth + 1));
      if (decoded.empty()) throw SurfaceConditionParseError::emptyClauses();
      return name == "and" ? SurfaceConditionRule::allOf(std::move(decoded))
                           : SurfaceConditionRule::anyOf(std::move(decoded));
    }
    if (name == "not") {
      const json* clause = field(node, "clause");
      if (!clause) {
        throw SurfaceConditionParseError::malformedStructure(
            "'not' node must have a 'clause' field");
      }
      return SurfaceConditionRule::negation(decodeRule(*clause, depth + 1));
    }
    throw SurfaceConditionParseError::unknownOp(name);
  }

  const json* type = field(node, "type");
  if (!type) {
    throw SurfaceConditionParseError::malformedStructure(
        "Node must have either 'op' (boolean) or 'type' (leaf) field");
  }
  const std::string& typeName = stringField(*type);
  auto conditionType = memoryConditionTypeFromRaw(typeName);
  if (!conditionType) throw SurfaceConditionParseError::unknownType(typeName);
  const json* value = field(node, "value");
  if (!value) {
    throw SurfaceConditionParseError::malformedStructure("Leaf node must have a 'value' field");
  }
  return SurfaceConditionRule::leaf(*conditionType, stringField(*value));
}

json encodeRule(const SurfaceConditionRule& rule) {
  switch (rule.kind()) {
    case SurfaceConditionRule::Kind::Leaf:
      return json{{"type", std::string(toString(rule.conditionType()))}, {"value", rule.value()}};
    case SurfaceConditionRule::Kind::And:
    case SurfaceConditionRule::Kind::Or: {
      json clauses = json::array();
      for (const auto& clause : rule.clauses()) clauses.push_back(encodeRule(clause));
      return json{{"op", rule.kind() == SurfaceConditionRule::Kind::And ? "and" : "or"},
                  {"clauses", std::move(clauses)}};
    }
    case SurfaceConditionRule::Kind::Not:
      return json{{"op", "not"}, {"clause", encodeRule(rule.clauses().front())}};
  }
  return json::object();
}

}  // namespace

SurfaceConditionParseError::SurfaceConditionParseError(Kind kind, std::string detail)
    : std::runtime_error([&] {
        switch (kind) {
          case Kind::UnknownOp:
            return "unknown op: " + detail;
          case Kind::UnknownType:
            return "unknown condition type: " + detail;
          case Kind::MalformedStructure:
            return "malformed structure: " + detail;
          case Kind::InvalidJSON:
            return std::string("invalid JSON");
          case Kind::EmptyClauses:
            return std::string("empty clauses");
        }
        return detail;
      }()),
      kind_(kind),
      detail_(std::move(detail)) {}

SurfaceConditionParseError SurfaceConditionParseError::unknownOp(std::string op) {
  return {Kind::UnknownOp, std::move(op)};
}
SurfaceConditionParseError SurfaceConditionParseError::unknownType(std::string type) {
  return {Kind::UnknownType, std::move(type)};
}
SurfaceConditionParseError SurfaceConditionParseError::malformedStructure(std::string message) {
  return {Kind::MalformedStructure, std::move(message)};
}
SurfaceConditionParseError SurfaceConditionParseError::invalidJSON() {
  return {Kind::InvalidJSON, {}};
}
SurfaceConditionParseError SurfaceConditionParseError::emptyClauses() {
  return {Kind::EmptyClauses, {}};
}

SurfaceConditionRule SurfaceConditionRule::leaf(MemoryConditionType type, std::string value) {
  SurfaceConditionRule rule;
  rule.kind_ = Kind::Leaf;
  rule.type_ = type;
  rule.value_ = std::move(value);
  return rule;
}

SurfaceConditionRule SurfaceConditionRule::allOf(std::vector<SurfaceConditionRule> clauses) {
  SurfaceConditionRule rule;
  rule.kind_ = Kind::And;
  rule.clauses_ = std::move(clauses);
  return rule;
}

SurfaceConditionRule SurfaceConditionRule::anyOf(std::vector<SurfaceConditionRule> clauses) {
  SurfaceConditionRule rule;
  rule.kind_ = Kind::Or;
  rule.clauses_ = std::move(clauses);
  return rule;
}

SurfaceConditionRule SurfaceConditionRule::negation(SurfaceConditionRule clause) {
  SurfaceConditionRule rule;
  rule.kind_ = Kind::Not;
  rule.clauses_.push_back(std::move(clause));
  return rule;
}

SurfaceConditionRule SurfaceConditionRule::parse(std::string_view text) {
  json document;
  try {
    document = json::parse(text.begin(), text.end());
  } catch (const json::exception&) {
    throw SurfaceConditionParseError::invalidJSON();
  }
  try {
    return decodeRule(document, 1);
  } catch (const json::exception&) {
    throw SurfaceConditionParseError::invalidJSON();
  }
}

std::string SurfaceConditionRule::encode() const {
  // A value that is not valid UTF-8 is written with replacement characters rather than failing.
  return encodeRule(*this).dump(-1, ' ', false, json::error_handler_t::replace);
}

bool SurfaceConditionRule::evaluate(const SurfaceConditionContext& context) const {
  switch (kind_) {
    case Kind::Leaf:
      return matchesCondition(type_, value_, context);
    case Kind::And:
      return std::all_of(clauses_.begin(), clauses_.end(),
                         [&](const SurfaceConditionRule& c) { return c.evaluate(context); });
    case Kind::Or:
      return std::any_of(clauses_.begin(), clauses_.end(),
                         [&](const SurfaceConditionRule& c) { return c.evaluate(context); });
    case Kind::Not:
      return !clauses_.front().evaluate(context);
  }
  return false;
}

bool operator==(const SurfaceConditionRule& a, const SurfaceConditionRule& b) {
  if (a.kind_ != b.kind_) return false;
  if (a.kind_ == SurfaceConditionRule::Kind::Leaf)
    return a.type_ == b.type_ && a.value_ == b.value_;
  return a.clauses_ == b.clauses_;
}

bool matchesCondition(MemoryConditionType type, std::string_view value,
                      const SurfaceConditionContext& context) {
  if (value.empty()) return false;
  switch (type) {
    case MemoryConditionType::RepoPath:
      return context.repoPath && globMatches(replaceDoubleStars(value), *context.repoPath);
    case MemoryConditionType::SymbolTouched:
      return std::find(context.touchedSymbols.begin(), context.touchedSymbols.end(), value) !=
             context.touchedSymbols.end();
    case MemoryConditionType::TaskKeyword:
      return context.taskDescription &&
             containsIgnoringCase(*context.taskDescription, foldCase(value));
    case MemoryConditionType::FileGlob: {
      const std::string pattern = replaceDoubleStars(value);
      return std::any_of(context.touchedFiles.begin(), context.touchedFiles.end(),
                         [&](const std::string& file) { return globMatches(pattern, file); });
    }
  }
  return false;
}

bool globMatches(std::string_view patternText, std::string_view pathText) {
  const std::vector<std::string> pattern = characters(patternText);
  const std::vector<std::string> path = characters(pathText);
  // Greedy match that, on a mismatch, lets the most recent star absorb one more character.
  // Backing up to an earlier star is never needed: the later star can absorb whatever the
  // earlier one would have, so this gives the backtracking matcher's answers without its
  // exponential cost.
  std::size_t p = 0;
  std::size_t s = 0;
  std::size_t starAt = pattern.size();  // none yet
  std::size_t resumeAt = 0;
  while (s < path.size()) {
    if (p < pattern.size() && pattern[p] == "*") {
      starAt = p++;
      resumeAt = s;
    } else if (p < pattern.size() && (pattern[p] == "?" ? path[s] != "/" : pattern[p] == path[s])) {
      ++p;
      ++s;
    } else if (starAt != pattern.size()) {
      p = starAt + 1;
      s = ++resumeAt;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == "*") ++p;
  return p == pattern.size();
}

bool matchesTriggerKeywords(const Memory& memory, std::span<const std::string> touchedFiles,
                            const std::optional<std::string>& taskDescription) {
  if (!memory.triggerKeywords || memory.triggerKeywords->empty()) return false;
  std::vector<std::string> keywords;
  std::string_view rest = *memory.triggerKeywords;
  while (true) {
    const auto comma = rest.find(',');
    std::string keyword = foldCase(trimKeywordSpaces(rest.substr(0, comma)));
    if (!keyword.empty()) keywords.push_back(std::move(keyword));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  for (const auto& keyword : keywords) {
    if (taskDescription && containsIgnoringCase(*taskDescription, keyword)) return true;
    for (const auto& file : touchedFiles) {
      if (containsIgnoringCase(file, keyword)) return true;
    }
  }
  return false;
}

}  // namespace nodrel::store
