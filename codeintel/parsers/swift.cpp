#include "codeintel/parsers/swift.h"

#include <array>

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct SwiftPatterns {
  LinePattern import{R"re(^\s*import\s+([\w.]+))re", 0, {"import"}};
  LinePattern type{
      R"re(^\s*(public\s+|internal\s+|private\s+|fileprivate\s+|open\s+|final\s+|sealed\s+)*(class|struct|enum|protocol|extension)\s+(\w+)(?:<[^>]*>)?(?:\s*:\s*([^\{]+))?)re",
      0,
      {"class", "struct", "enum", "protocol", "extension"}};
  // Attributes may precede the modifiers on the same line ("@inlinable public func"), a
  // generic clause may follow the name, and parameters may continue on the next lines.
  LinePattern function{
      R"re(^\s*(?:@\w+(?:\([^)]*\))?\s+)*(?:(?:public|internal|private|fileprivate|open|override|static|class|mutating|nonmutating|final|package|convenience|required|dynamic|nonisolated|indirect)(?:\(set\))?\s+)*func\s+(\w+)\s*(?:<.*?>)?\s*\(([^)]*)\)?)re",
      0,
      {"func"}};
};

std::optional<SymbolKind> kindOf(const std::string& word) {
  if (word == "class") return SymbolKind::Class;
  if (word == "struct") return SymbolKind::Struct;
  if (word == "enum") return SymbolKind::Enum;
  if (word == "protocol") return SymbolKind::Protocol;
  if (word == "extension") return SymbolKind::Extension;
  return std::nullopt;
}

// "class" is also a member modifier ("class func f()", "class var x"): the word after it is
// then a keyword or another modifier, never the name of a type.
bool isClassMemberModifierUse(const std::string& name) {
  static constexpr std::array<std::string_view, 18> kWords = {
      "func",        "var",      "let",         "subscript", "init",        "deinit",
      "override",    "final",    "open",        "public",    "internal",    "private",
      "fileprivate", "required", "convenience", "dynamic",   "nonisolated", "static"};
  for (auto word : kWords) {
    if (name == word) return true;
  }
  return false;
}

}  // namespace

ParsedFile parseSwiftSource(std::string_view content) {
  // One set per thread: a compiled pattern keeps a matcher that one thread at a time may use.
  thread_local const SwiftPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;
  out.imports = parsers::firstGroups(patterns.import.matches(text.lines()));

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& word = m.group(2);
    const auto& name = m.group(3);
    if (!word || !name) continue;
    const auto kind = kindOf(*word);
    if (!kind) continue;
    if (*kind == SymbolKind::Class && isClassMemberModifierUse(*name)) continue;
    out.typeDeclarations.push_back(
        {*name, *kind, m.line, text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    if (const auto& list = m.group(4)) {
      bool first = true;
      for (auto& piece : parsers::splitSupertypes(*list)) {
        if (*kind == SymbolKind::Class && first) {
          out.inheritances.push_back({*name, std::move(piece)});
        } else {
          out.conformances.push_back({*name, std::move(piece)});
        }
        first = false;
      }
    }
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
