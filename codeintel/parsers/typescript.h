// codeintel/parsers/typescript.h: what a TypeScript and JavaScript source file imports and
// declares, by line patterns.
#pragma once

#include <string_view>

#include "codeintel/parsed_file.h"

namespace nodrel::codeintel {

// Never fails; text that matches nothing gives empty lists. Calls stay empty.
ParsedFile parseTypeScriptSource(std::string_view content);

}  // namespace nodrel::codeintel
