#include "codeintel/source_parser.h"

#include "codeintel/parsers/go.h"
#include "codeintel/parsers/kotlin.h"
#include "codeintel/parsers/markup.h"
#include "codeintel/parsers/python.h"
#include "codeintel/parsers/rust.h"
#include "codeintel/parsers/swift.h"
#include "codeintel/parsers/typescript.h"

namespace nodrel::codeintel {

ParsedFile parseSourceFile(std::string_view content, std::string_view language) {
  if (language == "swift") return parseSwiftSource(content);
  if (language == "typescript" || language == "javascript") return parseTypeScriptSource(content);
  if (language == "kotlin") return parseKotlinSource(content);
  if (language == "python") return parsePythonSource(content);
  if (language == "go") return parseGoSource(content);
  if (language == "rust") return parseRustSource(content);
  if (language == "html") return parseHtmlSource(content);
  if (language == "css") return parseCssSource(content);
  return {};
}

}  // namespace nodrel::codeintel
