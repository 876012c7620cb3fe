#include "codeintel/parsers/markup.h"

#include "codeintel/parsers/line_matching.h"

namespace nodrel::codeintel {

ParsedFile parseHtmlSource(std::string_view content) {
  // No literal pre-filter: case-insensitive matching also folds letters outside ASCII.
  thread_local const parsers::LinePattern link{R"re(<link[^>]+href=['"]([^'"]+)['"])re",
                                               platform::kRegexCaseInsensitive};
  thread_local const parsers::LinePattern script{R"re(<script[^>]+src=['"]([^'"]+)['"])re",
                                                 platform::kRegexCaseInsensitive};
  parsers::SourceText text(content);
  ParsedFile out;
  out.imports = parsers::firstGroups(link.matches(text.lines()));
  auto sources = parsers::firstGroups(script.matches(text.lines()));
  out.imports.insert(out.imports.end(), sources.begin(), sources.end());
  return out;
}

ParsedFile parseCssSource(std::string_view content) {
  thread_local const parsers::LinePattern import{
      R"re(@import\s+(?:url\()?['"]?([^'"\s\)]+)['"]?\)?)re", 0, {"@import"}};
  parsers::SourceText text(content);
  ParsedFile out;
  out.imports = parsers::firstGroups(import.matches(text.lines()));
  return out;
}

}  // namespace nodrel::codeintel
