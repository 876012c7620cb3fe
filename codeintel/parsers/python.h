// codeintel/parsers/python.h: what a Python source file imports and declares, by line patterns.
#pragma once

#include <string_view>

#include "codeintel/parsed_file.h"

namespace nodrel::codeintel {

// Never fails; text that matches nothing gives empty lists. Calls stay empty.
ParsedFile parsePythonSource(std::string_view content);

}  // namespace nodrel::codeintel
