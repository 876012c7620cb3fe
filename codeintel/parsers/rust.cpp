#include "codeintel/parsers/rust.h"

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct RustPatterns {
  LinePattern import{R"re(^\s*use\s+([\w:]+(?:::\{[^}]+\}|::\*|::\w+)?))re", 0, {"use"}};
  LinePattern type{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(struct|enum|trait|impl|type)\s+(\w+)(?:<[^>]*>)?(?:\s+for\s+(\w+))?)re",
      0,
      {"struct", "enum", "trait", "impl", "type"}};
  LinePattern function{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(?:async\s+)?(?:unsafe\s+)?fn\s+(\w+)\s*(?:<[^>]*>)?\s*\()re",
      0,
      {"fn"}};
};

std::optional<SymbolKind> kindOf(const std::string& word) {
  if (word == "struct" || word == "type") return SymbolKind::Struct;
  if (word == "enum") return SymbolKind::Enum;
  if (word == "trait") return SymbolKind::Protocol;
  if (word == "impl") return SymbolKind::Extension;
  return std::nullopt;
}

}  // namespace

ParsedFile parseRustSource(std::string_view content) {
  thread_local const RustPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;
  out.imports = parsers::firstGroups(patterns.import.matches(text.lines()));

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& word = m.group(1);
    const auto& name = m.group(2);
    if (!word || !name) continue;
    const auto kind = kindOf(*word);
    if (!kind) continue;
    out.typeDeclarations.push_back(
        {*name, *kind, m.line, text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    // "impl Trait for Type": the implementing type conforms to the trait.
    const auto& implementer = m.group(3);
    if (*word == "impl" && implementer) out.conformances.push_back({*implementer, *name});
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
