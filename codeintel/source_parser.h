// codeintel/source_parser.h: one source file's text to a ParsedFile, by the parser of its
// language. Pure: the same text and language always give the same result, and nothing throws.
#pragma once

#include <string_view>

#include "codeintel/parsed_file.h"

namespace nodrel::codeintel {

// Language names are matched exactly ("swift", "typescript", "javascript", "kotlin",
// "python", "go", "rust", "html", "css"); any other name gives an empty ParsedFile.
ParsedFile parseSourceFile(std::string_view content, std::string_view language);

}  // namespace nodrel::codeintel
