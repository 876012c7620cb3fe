#include "codeintel/parsers/rust.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(RustParser, ReadsTheSampleFile) {
  const auto parsed = parseRustSource(testing::codeintelFixture("parsers/sample.rs"));
  EXPECT_EQ(parsed.imports,
            (std::vector<std::string>{"std::collections::HashMap", "std::io::{self,Write}",
                                      "crate::model::*", "crate::model::Point"}));
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{
                {"Registry", SymbolKind::Struct, 6, 8, "pub struct Registry<T>"},
                {"Shape", SymbolKind::Enum, 10, 13, "pub(crate) enum Shape"},
                {"Area", SymbolKind::Protocol, 15, 17, "pub trait Area"},
                {"Shape", SymbolKind::Extension, 19, 26, "impl Area for Shape"},
                {"Registry", SymbolKind::Extension, 28, 32, "impl<T> Registry<T>"},
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
  EXPECT_EQ(parseRustSource("pub use a::b;").imports, std::vector<std::string>{"a::b"});
  EXPECT_EQ(parseRustSource("use std::io::Write;").imports,
            std::vector<std::string>{"std::io::Write"});
  const auto parsed = parseRustSource("impl Display for Point {\n}");
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{{"Point", SymbolKind::Extension, 1, 2, "impl Display for Point"}}));
  EXPECT_EQ(parseRustSource("type Alias = u32;").typeDeclarations.at(0).kind, SymbolKind::Struct);
}

// The block of methods is recorded under the type that gets them, which conforms to the trait.
TEST(RustParser, TraitImplementationsRecordTheType) {
  struct Case {
    std::string source;
    std::string declared;
    std::vector<ParsedFile::Conformance> conformances;
  };
  const Case cases[] = {
      {"impl Display for Point {", "Point", {{"Point", "Display"}}},
      {"impl<T> Trait for X {", "X", {{"X", "Trait"}}},
      {"impl fmt::Debug for Command {", "Command", {{"Command", "Debug"}}},
      {"impl<'a, T: Into<Vec<u8>>> From<Vec<T>> for Arg<'a> {", "Arg", {{"Arg", "From"}}},
      {"impl<T> Deref for &'a mut crate::builder::Wrapper<T> {", "Wrapper", {{"Wrapper", "Deref"}}},
      {"unsafe impl Send for Handle {}", "Handle", {{"Handle", "Send"}}},
      {"impl<T: Clone> Registry<T> {", "Registry", {}},
      {"impl Command {", "Command", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const auto parsed = parseRustSource(c.source);
    ASSERT_EQ(parsed.typeDeclarations.size(), 1u);
    EXPECT_EQ(parsed.typeDeclarations[0].name, c.declared);
    EXPECT_EQ(parsed.typeDeclarations[0].kind, SymbolKind::Extension);
    EXPECT_EQ(parsed.conformances, c.conformances);
  }
}

TEST(RustParser, FunctionForms) {
  struct Case {
    std::string source;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"pub const fn new() -> Self {", {"new"}},
      {"pub(crate) unsafe extern \"C\" fn callback(x: i32) {", {"callback"}},
      {"fn parse<T: Into<String>>(value: T) {", {"parse"}},
      {"pub(super) async fn run() {", {"run"}},
      {"let f = |x| x + 1; // fn not(", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<std::string> got;
    for (const auto& f : parseRustSource(c.source).functions) got.push_back(f.name);
    EXPECT_EQ(got, c.names);
  }
}

TEST(RustParser, ReadsUseGroupsOverSeveralLinesAndModuleFiles) {
  const auto parsed = parseRustSource(
      "pub(crate) use crate::{\n    a::{b as c, d},\n    // a note\n    e,\n};\n"
      "mod net;\npub mod util ;\nmod inline {\n    use super::x as y;\n}\n"
      "fn f() { let modulo = 1; }\n");
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"crate::{a::{b,d},e,}", "self::net",
                                                      "self::util", "super::x"}));
}

}  // namespace
}  // namespace nodrel::codeintel
