// codeintel/parsers/markup.h: the files HTML and CSS refer to; they declare nothing else.
#pragma once

#include <string_view>

#include "codeintel/parsed_file.h"

namespace nodrel::codeintel {

// Link targets, then script sources; tag and attribute names in any letter case.
ParsedFile parseHtmlSource(std::string_view content);
// The targets of "@import" rules.
ParsedFile parseCssSource(std::string_view content);

}  // namespace nodrel::codeintel
