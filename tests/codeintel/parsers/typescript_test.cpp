#include "codeintel/parsers/typescript.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(TypeScriptParser, ReadsTheSampleFile) {
  const auto parsed = parseTypeScriptSource(testing::codeintelFixture("parsers/sample.ts"));
  EXPECT_EQ(parsed.imports,
            (std::vector<std::string>{"@angular/core", "path", "./polyfills", "fs"}));
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{
                {"Shape", SymbolKind::Protocol, 7, 9,
                 "export interface Shape extends Base, Named"},
                {"Circle", SymbolKind::Class, 11, 15,
                 "export abstract class Circle extends Figure implements Shape, Serializable"},
                {"Color", SymbolKind::Enum, 17, 17, "enum Color"},
                // No brace of its own: the block runs to where the next braces balance.
                {"Id", SymbolKind::Class, 19, 23, "type Id"},
            }));
  EXPECT_EQ(parsed.inheritances, (std::vector<ParsedFile::Inheritance>{
                                     {"Shape", "Base"}, {"Shape", "Named"}, {"Circle", "Figure"}}));
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{
                                     {"Circle", "Shape"}, {"Circle", "Serializable"}}));
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{
                                  {"load", 21, 23, "export async function load("},
                                  {"helper", 25, 28, "function helper("},
                              }));
}

TEST(TypeScriptParser, SupertypeClauses) {
  struct Case {
    std::string source;
    std::vector<ParsedFile::Inheritance> inheritances;
    std::vector<ParsedFile::Conformance> conformances;
  };
  const Case cases[] = {
      {"class A implements B, C {", {}, {{"A", "B"}, {"A", "C"}}},
      {"class A extends B {", {{"A", "B"}}, {}},
      {"class A extends B implements C {", {{"A", "B"}}, {{"A", "C"}}},
      // "implements" inside a name is no clause.
      {"class A extends Implementsable {", {{"A", "Implementsable"}}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const auto parsed = parseTypeScriptSource(c.source);
    EXPECT_EQ(parsed.inheritances, c.inheritances);
    EXPECT_EQ(parsed.conformances, c.conformances);
  }
}

TEST(TypeScriptParser, ImportsAreListedOnceInFirstSeenOrder) {
  const auto parsed =
      parseTypeScriptSource("const y = require('./a')\nimport x from './a'\nimport './b'\n");
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"./a", "./b"}));
  // Two requires on one line are both read.
  EXPECT_EQ(parseTypeScriptSource("const a = require('a'), b = require(\"b\");").imports,
            (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace nodrel::codeintel
