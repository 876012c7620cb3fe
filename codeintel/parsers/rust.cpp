#include "codeintel/parsers/rust.h"

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct RustPatterns {
  LinePattern import{R"re(^\s*use\s+([\w:]+(?:::\{[^}]+\}|::\*|::\w+)?))re", 0, {"use"}};
  // An impl may open with its own generics ("impl<T>") and name its trait by a path
  // ("fmt::Display"); the path is dropped. The "for" branch comes first, so a trait with nested
  // generics ("From<Vec<T>>") still reaches the type after "for"; that type may be a path, a
  // reference or a trait object, of which the last name is the type that gets the methods.
  LinePattern type{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(?:unsafe\s+)?(struct|enum|trait|impl|type)(?:\s*<.*?>)?\s+(?:(?:\w+::)*)(\w+)(?:(?:<[^{]*?>)?\s+for\s+(?:&\s*(?:'\w+\s+)?)?(?:mut\s+)?(?:dyn\s+)?(?:\w+::)*(\w+)|(?:<[^>]*>)?))re",
      0,
      {"struct", "enum", "trait", "impl", "type"}};
  LinePattern function{
      R"re(^\s*(?:pub\s+)?(?:pub\s*\([^)]+\)\s+)?(?:default\s+)?(?:const\s+)?(?:async\s+)?(?:unsafe\s+)?(?:extern\s+(?:"[^"]*"\s+)?)?fn\s+(\w+)\s*(?:<.*?>)?\s*\()re",
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
    // "impl Trait for Type" adds methods to Type, so the block is recorded under Type, as an
    // inherent "impl Type" is, and Type conforms to the trait.
    const auto& implementer = m.group(3);
    const bool traitImpl = *word == "impl" && implementer;
    out.typeDeclarations.push_back({traitImpl ? *implementer : *name, *kind, m.line,
                                    text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    if (traitImpl) out.conformances.push_back({*implementer, *name});
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
