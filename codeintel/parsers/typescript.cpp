#include "codeintel/parsers/typescript.h"

#include <utility>

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct TypeScriptPatterns {
  LinePattern importFrom{R"re(^\s*import\s+.+?\s+from\s+['"]([^'"]+)['"])re", 0, {"import"}};
  LinePattern importBare{R"re(^\s*import\s+['"]([^'"]+)['"])re", 0, {"import"}};
  LinePattern require{R"re(require\s*\(\s*['"]([^'"]+)['"]\s*\))re", 0, {"require"}};
  LinePattern type{
      R"re(^\s*(?:export\s+)?(?:abstract\s+)?(class|interface|enum|type)\s+(\w+)(?:<[^>]*>)?(?:\s+extends\s+([\w<>, ]+))?(?:\s+implements\s+([\w<>, ]+))?)re",
      0,
      {"class", "interface", "enum", "type"}};
  LinePattern function{R"re(^\s*(?:export\s+)?(?:async\s+)?function\s+(\w+)\s*\()re", 0,
                       {"function"}};
};

// The extends list's character class takes spaces and words, so it swallows an
// "implements" clause that follows it; that clause is split off again here.
std::pair<std::string, std::optional<std::string>> splitImplementsClause(
    const std::string& extendsList) {
  static constexpr std::string_view kKeyword = "implements";
  std::size_t at = 0;
  while ((at = extendsList.find(kKeyword, at)) != std::string::npos) {
    const std::size_t after = at + kKeyword.size();
    const bool spaceBefore = at > 0 && extendsList[at - 1] == ' ';
    const bool spaceAfter = after < extendsList.size() && extendsList[after] == ' ';
    if (spaceBefore && spaceAfter) {
      return {extendsList.substr(0, at), extendsList.substr(after)};
    }
    at = after;
  }
  return {extendsList, std::nullopt};
}

std::optional<SymbolKind> kindOf(const std::string& word) {
  if (word == "class" || word == "type") return SymbolKind::Class;
  if (word == "interface") return SymbolKind::Protocol;
  if (word == "enum") return SymbolKind::Enum;
  return std::nullopt;
}

}  // namespace

ParsedFile parseTypeScriptSource(std::string_view content) {
  thread_local const TypeScriptPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;

  auto imports = parsers::firstGroups(patterns.importFrom.matches(text.lines()));
  for (const auto* pattern : {&patterns.importBare, &patterns.require}) {
    auto more = parsers::firstGroups(pattern->matches(text.lines()));
    imports.insert(imports.end(), more.begin(), more.end());
  }
  out.imports = parsers::withoutRepeats(imports);

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& word = m.group(1);
    const auto& name = m.group(2);
    if (!word || !name) continue;
    const auto kind = kindOf(*word);
    if (!kind) continue;
    out.typeDeclarations.push_back(
        {*name, *kind, m.line, text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    std::optional<std::string> implements = m.group(4);
    if (const auto& extendsGroup = m.group(3)) {
      auto [extends, swallowed] = splitImplementsClause(*extendsGroup);
      for (auto& piece : parsers::splitSupertypes(extends)) {
        out.inheritances.push_back({*name, std::move(piece)});
      }
      if (swallowed) implements = std::move(swallowed);
    }
    if (implements) {
      for (auto& piece : parsers::splitSupertypes(*implements)) {
        out.conformances.push_back({*name, std::move(piece)});
      }
    }
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
