#include "store/query_router.h"

#include <string>

#include "platform/tagger.h"
#include "platform/text.h"

namespace nodrel::store {
namespace {

constexpr std::string_view kProceduralPattern =
    R"(how\s+do\s+i\b|steps\s+to\b|process\s+for\b|how\s+to\b|set\s+up\b|configure\b|install\b)";
constexpr std::string_view kTemporalPattern =
    R"(what\s+happened\b|when\s+did\b|last\s+time\b|previously\b|recall\s+when\b|do\s+you\s+remember\b)";
constexpr std::string_view kSemanticPattern =
    R"(rule\s+for\b|approach\s+to\b|convention\b|always\b|never\b|best\s+practice\b|guideline\b|standard\b)";

// The pieces of the text between white-space and newline characters, empty pieces dropped.
std::vector<std::u32string> whitespaceTokens(std::string_view text) {
  std::vector<std::u32string> tokens;
  std::u32string current;
  for (char32_t c : platform::toCodePoints(text)) {
    if (platform::isUnicodeWhitespace(c)) {
      if (!current.empty()) tokens.push_back(std::move(current));
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) tokens.push_back(std::move(current));
  return tokens;
}

bool looksLikeCode(const std::u32string& token) {
  if (platform::graphemeCount(platform::fromCodePoints(token)) < 2) return false;
  for (std::size_t i = 0; i < token.size(); ++i) {
    const char32_t c = token[i];
    if (platform::isNumericCharacter(c) || c == U'_') return true;
    if (i > 0 && platform::isUppercaseCharacter(c)) return true;
  }
  return false;
}

}  // namespace

const std::unordered_set<std::string>& QueryRouter::fileExtensions() {
  static const std::unordered_set<std::string> extensions = {
      "swift", "ts", "tsx", "js", "jsx", "py", "go",   "rs",  "kt",   "java", "c",
      "cpp",   "h",  "m",   "rb", "php", "cs", "yaml", "yml", "json", "toml"};
  return extensions;
}

const std::vector<QueryRouter::Pattern>& QueryRouter::patterns() {
  thread_local const std::vector<Pattern> table = [] {
    std::vector<Pattern> t;
    auto add = [&](std::string_view expression, std::vector<std::string> tiers,
                   std::set<std::string> edgeTypes, std::string classification) {
      if (auto regex = platform::makeRegex(expression, platform::kRegexCaseInsensitive)) {
        t.push_back(
            {std::move(*regex), std::move(tiers), std::move(edgeTypes), std::move(classification)});
      }
    };
    add(kProceduralPattern, {"procedural"}, {"causal", "related"}, "procedural");
    add(kTemporalPattern, {"episodic"}, {"temporal", "related"}, "temporal");
    add(kSemanticPattern, {"semantic"}, {"semantic", "related"}, "semantic");
    return t;
  }();
  return table;
}

QueryRoute QueryRouter::route(std::string_view query) {
  const std::string text = platform::trimWhitespace(query);
  QueryRoute route;
  if (isFileScopedQuery(text)) {
    route.classification = "file-scoped";
    route.preferredEdgeTypes = {"entity", "related"};
  } else {
    for (const Pattern& pattern : patterns()) {
      if (pattern.regex.search(text)) {
        route.classification = pattern.classification;
        route.tiers = pattern.tiers;
        route.preferredEdgeTypes = pattern.edgeTypes;
        break;
      }
    }
  }
  const double s = lexicalScore(text);
  if (s >= 0.7) {
    route.bm25Weight = 0.5;
    route.vectorWeight = 0.2;
  } else if (s >= 0.3) {
    route.bm25Weight = 0.35;
    route.vectorWeight = 0.35;
  } else {
    route.bm25Weight = 0.2;
    route.vectorWeight = 0.5;
  }
  route.graphWeight = 0.3;
  return route;
}

bool isFileScopedQuery(std::string_view query) {
  if (query.starts_with("/") || query.starts_with("~/") || query.starts_with("./")) return true;
  for (const std::u32string& token : whitespaceTokens(query)) {
    const auto dot = token.rfind(U'.');
    if (dot == std::u32string::npos) continue;
    const std::string extension =
        platform::lowercase(platform::fromCodePoints(token.substr(dot + 1)));
    if (QueryRouter::fileExtensions().count(extension)) return true;
  }
  return false;
}

double lexicalScore(std::string_view query) {
  const std::vector<std::u32string> tokens = whitespaceTokens(query);
  if (tokens.empty()) return 0.0;
  const int names = countNamedEntities(query);
  int codeLike = 0;
  for (const auto& token : tokens) {
    if (looksLikeCode(token)) ++codeLike;
  }
  double s = static_cast<double>(names + codeLike) / static_cast<double>(tokens.size());
  if (tokens.size() < 5) s += 0.1;
  return s < 1.0 ? s : 1.0;
}

int countNamedEntities(std::string_view query) {
  platform::Tagger tagger({platform::TagScheme::NameType});
  tagger.setString(query);
  int count = 0;
  tagger.enumerateTags(
      tagger.wholeRange(), platform::TokenUnit::Word, platform::TagScheme::NameType,
      platform::kTaggerOmitPunctuation | platform::kTaggerOmitWhitespace |
          platform::kTaggerJoinNames,
      [&](std::optional<platform::Tag> tag, platform::TextRange) {
        if (tag == platform::Tag::PersonalName || tag == platform::Tag::PlaceName ||
            tag == platform::Tag::OrganizationName) {
          ++count;
        }
        return true;
      });
  return count;
}

}  // namespace nodrel::store
