#include "codeintel/parsers/markup.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

TEST(MarkupParsers, HtmlListsLinkTargetsThenScriptSources) {
  const auto parsed = parseHtmlSource(testing::codeintelFixture("parsers/sample.html"));
  EXPECT_EQ(parsed.imports,
            (std::vector<std::string>{"css/site.css", "favicon.ico", "js/app.js", "js/main.js"}));
  ParsedFile importsOnly;
  importsOnly.imports = parsed.imports;
  EXPECT_EQ(parsed, importsOnly);
}

TEST(MarkupParsers, CssListsImportTargets) {
  const auto parsed = parseCssSource(testing::codeintelFixture("parsers/sample.css"));
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"reset.css", "theme/dark.css", "print.css"}));
  // The CSS rule is case-sensitive.
  EXPECT_TRUE(parseCssSource("@IMPORT 'a.css';").imports.empty());
}

}  // namespace
}  // namespace nodrel::codeintel
