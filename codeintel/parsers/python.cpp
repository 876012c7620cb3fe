#include "codeintel/parsers/python.h"

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct PythonPatterns {
  LinePattern import{R"re(^\s*import\s+([\w.]+))re", 0, {"import"}};
  LinePattern fromImport{R"re(^\s*from\s+([\w.]+)\s+import\s+)re", 0, {"from"}};
  LinePattern type{R"re(^\s*class\s+(\w+)(?:\(([^)]*)\))?\s*:)re", 0, {"class"}};
  LinePattern function{
      R"re(^\s*(?:async\s+)?def\s+(\w+)\s*\(([^)]*)\)\s*(?:->[^:]+)?:)re", 0, {"def"}};
};

}  // namespace

ParsedFile parsePythonSource(std::string_view content) {
  thread_local const PythonPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;

  auto imports = parsers::firstGroups(patterns.import.matches(text.lines()));
  auto fromImports = parsers::firstGroups(patterns.fromImport.matches(text.lines()));
  imports.insert(imports.end(), fromImports.begin(), fromImports.end());
  out.imports = parsers::withoutRepeats(imports);

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& name = m.group(1);
    if (!name) continue;
    out.typeDeclarations.push_back(
        {*name, SymbolKind::Class, m.line, text.pythonBlockEnd(m.line), parsers::signatureOf(m)});
    if (const auto& bases = m.group(2)) {
      for (auto& piece : parsers::splitSupertypes(*bases)) {
        if (piece != "object") out.conformances.push_back({*name, std::move(piece)});
      }
    }
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Indentation, text,
                           out);
  return out;
}

}  // namespace nodrel::codeintel
