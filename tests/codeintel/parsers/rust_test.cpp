#include "codeintel/parsers/rust.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(RustParser, ReadsTheSampleFile) {
  const auto parsed = parseRustSource(testing::codeintelFixture("parsers/sample.rs"));
  // The path class takes the "::" before a brace group or a glob, so those imports keep only
  // their prefix; "pub use" is not at the start of the line.
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"std::collections::HashMap", "std::io::",
                                                      "crate::model::"}));
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{
                {"Registry", SymbolKind::Struct, 6, 8, "pub struct Registry<T>"},
                {"Shape", SymbolKind::Enum, 10, 13, "pub(crate) enum Shape"},
                {"Area", SymbolKind::Protocol, 15, 17, "pub trait Area"},
                {"Area", SymbolKind::Extension, 19, 26, "impl Area for Shape"},
            }));
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{{"Shape", "Area"}}));
  EXPECT_TRUE(parsed.inheritances.empty());
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{
                                  {"area", 16, 19, "fn area("},
                                  {"area", 20, 25, "fn area("},
                                  {"new", 29, 31, "pub fn new("},
                                  {"fetch", 34, 36, "pub async fn fetch<T>("},
                              }));
}

TEST(RustParser, SmallCases) {
  EXPECT_TRUE(parseRustSource("pub use a::b;").imports.empty());
  EXPECT_EQ(parseRustSource("use std::io::Write;").imports,
            std::vector<std::string>{"std::io::Write"});
  EXPECT_TRUE(parseRustSource("impl<T> Trait for X {}").typeDeclarations.empty());
  const auto parsed = parseRustSource("impl Display for Point {\n}");
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{{"Display", SymbolKind::Extension, 1, 2, "impl Display for Point"}}));
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{{"Point", "Display"}}));
  EXPECT_EQ(parseRustSource("type Alias = u32;").typeDeclarations.at(0).kind, SymbolKind::Struct);
}

}  // namespace
}  // namespace nodrel::codeintel
