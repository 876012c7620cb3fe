#include "codeintel/parsers/go.h"

#include "codeintel/line_text.h"
#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct GoPatterns {
  // A path may follow a name it is imported under: an alias, "." or "_".
  LinePattern importLine{R"re(^\s*import\s+(?:[\w.]+\s+)?"([^"]+)")re", 0, {"import"}};
  LinePattern importInBlock{R"re(^\s*(?:[\w.]+\s+)?"([^"]+)")re", 0, {"\""}};
  LinePattern type{
      R"re(^\s*type\s+(\w+)\s+(struct|interface|func|map|chan|\[\]|\w+))re", 0, {"type"}};
  LinePattern function{R"re(^\s*func\s+(?:\([^)]+\)\s+)?(\w+)\s*\()re", 0, {"func"}};
};

}  // namespace

ParsedFile parseGoSource(std::string_view content) {
  thread_local const GoPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;

  // Imports are either one per line or grouped in an "import ( … )" block, one path a line.
  std::vector<parsers::LineMatch> importMatches;
  bool inBlock = false;
  const auto& lines = text.lines();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto trimmed = trimHorizontalWhitespace(lines[i]);
    const auto number = static_cast<std::int64_t>(i) + 1;
    if (trimmed.starts_with("import (") && trimmed.find(')') == std::string_view::npos) {
      inBlock = true;
    } else if (inBlock) {
      if (trimmed == ")") {
        inBlock = false;
      } else {
        patterns.importInBlock.appendMatches(lines[i], number, importMatches);
      }
    } else {
      patterns.importLine.appendMatches(lines[i], number, importMatches);
    }
  }
  out.imports = parsers::firstGroups(importMatches);

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& name = m.group(1);
    const auto& word = m.group(2);
    if (!word || !name) continue;
    const SymbolKind kind = *word == "interface" ? SymbolKind::Protocol : SymbolKind::Struct;
    out.typeDeclarations.push_back(
        {*name, kind, m.line, text.braceBlockEnd(m.line), parsers::signatureOf(m)});
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
