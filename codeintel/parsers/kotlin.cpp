#include "codeintel/parsers/kotlin.h"

#include "codeintel/line_text.h"
#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {
namespace {

using parsers::BlockRule;
using parsers::LinePattern;

struct KotlinPatterns {
  LinePattern import{R"re(^\s*import\s+([\w.]+(?:\.\*)?)(?:\s+as\s+\w+)?)re", 0, {"import"}};
  LinePattern type{
      R"re(^\s*(?:(?:public|internal|private|protected|abstract|open|sealed|data|inner|companion|inline|value)\s+)*(class|interface|object|enum\s+class)\s+(\w+)(?:<[^>]*>)?(?:\s*\([^)]*\))?(?:\s*:\s*([^\{]+))?)re",
      0,
      {"class", "interface", "object"}};
  // Annotations may share the line; an extension function names its receiver before the name
  // ("fun <T> List<T>.second("), and the receiver's last dot ends it; a back-quoted name is
  // kept without its quotes.
  LinePattern function{
      R"re(^\s*(?:@[\w.]+(?:\([^)]*\))?\s+)*(?:(?:public|internal|private|protected|override|suspend|inline|tailrec|operator|infix|open|abstract|final|external|actual|expect)\s+)*fun\s+(?:<.*?>\s*)?(?:[\w.<>?, *]+\.)?`?((?<=`)[^`]+(?=`)|\w+)`?\s*\()re",
      0,
      {"fun"}};
};

}  // namespace

ParsedFile parseKotlinSource(std::string_view content) {
  thread_local const KotlinPatterns patterns;
  parsers::SourceText text(content);
  ParsedFile out;
  out.imports = parsers::firstGroups(patterns.import.matches(text.lines()));

  for (const auto& m : patterns.type.matches(text.lines())) {
    const auto& word = m.group(1);
    const auto& name = m.group(2);
    if (!word || !name) continue;
    const SymbolKind kind =
        word->find("interface") != std::string::npos ? SymbolKind::Protocol : SymbolKind::Class;
    out.typeDeclarations.push_back(
        {*name, kind, m.line, text.braceBlockEnd(m.line), parsers::signatureOf(m)});
    if (const auto& list = m.group(3)) {
      for (const auto& piece : parsers::splitSupertypes(*list)) {
        // A superclass is named with its constructor call: "Base(x)" conforms to "Base".
        const std::string_view head = std::string_view(piece).substr(0, piece.find('('));
        out.conformances.push_back({*name, std::string(trimHorizontalWhitespace(head))});
      }
    }
  }

  parsers::appendFunctions(patterns.function.matches(text.lines()), BlockRule::Braces, text, out);
  return out;
}

}  // namespace nodrel::codeintel
