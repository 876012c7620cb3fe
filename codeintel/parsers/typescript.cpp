#include "codeintel/parsers/typescript.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <set>
#include <utility>

#include "codeintel/line_text.h"
#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct TypeScriptPatterns {
  // "import … from" and its re-exporting twin "export … from", whole on one line.
  LinePattern importFrom{
      R"re(^\s*(?:import|export)\b\s*.+?\bfrom\s*['"]([^'"]+)['"])re", 0, {"from"}};
  // A name list left open on its first line ("import {", "export type {") and closed on a
  // later one by "} from '…'".
  LinePattern openList{R"re(^\s*(?:import|export)\b[^'"=;()]*\{[^}'"]*$)re", 0, {"{"}};
  LinePattern closeList{R"re(^[^'"=;()]*\}\s*from\s*['"]([^'"]+)['"])re", 0, {"from"}};
  LinePattern importBare{R"re(^\s*import\s+['"]([^'"]+)['"])re", 0, {"import"}};
  LinePattern require{R"re(require\s*\(\s*['"]([^'"]+)['"]\s*\))re", 0, {"require"}};
  LinePattern type{
      R"re(^\s*(?:export\s+)?(?:abstract\s+)?(class|interface|enum|type)\s+(\w+)(?:<[^>]*>)?(?:\s+extends\s+([\w<>, ]+))?(?:\s+implements\s+([\w<>, ]+))?)re",
      0,
      {"class", "interface", "enum", "type"}};
  // Generics may nest ("<T extends A<B>>"): the lazy run ends at the ">" before "(".
  LinePattern function{
      R"re(^\s*(?:export\s+)?(?:default\s+)?(?:declare\s+)?(?:async\s+)?function\s*\*?\s*(\w+)\s*(?:<.*?>)?\s*\()re",
      0,
      {"function"}};
  // A member of a class body: modifiers, a name, parameters closed on the line or left open
  // for the next ones, and the body's brace. Only lines inside a class's block are asked, and
  // the control-flow words that share the shape are turned away by name.
  LinePattern method{
      R"re(^\s+(?:(?:public|private|protected|static|async|override|abstract|readonly|get|set)\s+)*\*?#?(\w+)\s*(?:<.*?>)?\s*\((?:[^)]*\)\s*(?::[^{;=]*)?\{\s*(?:\}\s*)?$|[^)]*$))re",
      0,
      {"("}};
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

bool isControlWord(const std::string& name) {
  static constexpr std::array<std::string_view, 9> kWords = {
      "if", "for", "while", "switch", "catch", "function", "return", "with", "else"};
  for (auto word : kWords) {
    if (name == word) return true;
  }
  return false;
}

std::optional<SymbolKind> kindOf(const std::string& word) {
  if (word == "class" || word == "type") return SymbolKind::Class;
  if (word == "interface") return SymbolKind::Protocol;
  if (word == "enum") return SymbolKind::Enum;
  return std::nullopt;
}

// Members sit one brace deep in the class body; deeper lines are the methods' own bodies, where
// a call left open for its arguments on the next lines has the same shape as a declaration.
void appendMethods(const LinePattern& method, const std::vector<std::string_view>& lines,
                   const ParsedFile::TypeDeclaration& declaration, std::set<std::int64_t>& seen,
                   std::vector<parsers::LineMatch>& out) {
  std::int64_t depth = 0;
  for (auto line = declaration.lineStart; line <= declaration.lineEnd; ++line) {
    const std::string_view text = lines[static_cast<std::size_t>(line - 1)];
    if (depth == 1 && line > declaration.lineStart && !seen.contains(line)) {
      auto m = method.firstMatch(text, line);
      if (m && m->group(1) && !isControlWord(*m->group(1))) {
        seen.insert(line);
        out.push_back(std::move(*m));
      }
    }
    for (const char c : text) {
      if (c == '{') ++depth;
      if (c == '}') --depth;
    }
  }
}

}  // namespace

ParsedFile parseTypeScriptSource(std::string_view content) {
  thread_local const TypeScriptPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;

  std::vector<std::string> imports;
  constexpr std::size_t kLongestList = 500;
  constexpr std::size_t kClosed = static_cast<std::size_t>(-1);
  std::size_t openedAt = kClosed;
  const auto& lines = text.lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int64_t>(i) + 1;
    if (openedAt != kClosed) {
      if (auto m = patterns.closeList.firstMatch(lines[i], number); m && m->group(1)) {
        imports.push_back(*m->group(1));
        openedAt = kClosed;
        continue;
      }
      const auto trimmed = trimHorizontalWhitespace(lines[i]);
      if (trimmed.starts_with("//") || trimmed.starts_with("/*") || trimmed.starts_with("*")) {
        continue;
      }
      // Only names and commas lie between; anything else means the list was no import's.
      if (lines[i].find_first_of("}'\";=()") != std::string_view::npos ||
          i - openedAt > kLongestList) {
        openedAt = kClosed;
      }
      continue;
    }
    if (auto m = patterns.importFrom.firstMatch(lines[i], number); m && m->group(1)) {
      imports.push_back(*m->group(1));
    } else if (patterns.openList.firstMatch(lines[i], number)) {
      openedAt = i;
    }
  }
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

  std::vector<parsers::LineMatch> functions = patterns.function.matches(text.lines());
  std::set<std::int64_t> memberLines;
  for (const auto& declaration : out.typeDeclarations) {
    if (declaration.kind == SymbolKind::Class) {
      appendMethods(patterns.method, text.lines(), declaration, memberLines, functions);
    }
  }
  // Functions are listed in the order they appear in the file, methods among them.
  std::stable_sort(functions.begin(), functions.end(),
                   [](const auto& a, const auto& b) { return a.line < b.line; });
  parsers::appendFunctions(functions, BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
