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
                {"Shape", SymbolKind::Protocol, 7, 9, "export interface Shape extends Base, Named"},
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
                                  {"constructor", 12, 14, "constructor(private r: number) {"},
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

TEST(TypeScriptParser, ReadsReExportsAndImportListsOverSeveralLines) {
  const struct {
    const char* source;
    std::vector<std::string> imports;
  } cases[] = {
      {"export * from './a';\nexport * as ns from \"./b\";\nexport { x, y as z } from './c';\n",
       {"./a", "./b", "./c"}},
      {"import type { T } from './t';\nexport type { U } from './u';\n", {"./t", "./u"}},
      {"import {\n  a,\n  // why\n  b,\n} from './ab';\nexport {\n  c\n} from './c';\n",
       {"./ab", "./c"}},
      {"import D, {\n  e,\n} from './de';\nimport './side-effect';\n", {"./de", "./side-effect"}},
      // A class body is no name list, and the "from" in a string or a call is no import.
      {"export class A {\n  f() { return g('x') }\n}\nconst s = \"taken from './x'\";\n", {}},
      {"export {\n  a,\n};\nconst t = 1;\n} from './never';\n", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseTypeScriptSource(c.source).imports, c.imports) << c.source;
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

// Each case's functions by name and line; a class body's members count, its methods' own
// statements (calls, control flow, calls left open over lines) do not.
TEST(TypeScriptParser, GenericFunctionsAndClassMethods) {
  struct Case {
    std::string source;
    std::vector<std::pair<std::string, std::int64_t>> functions;
  };
  const Case cases[] = {
      {"export function first<T>(xs: T[]): T {\n}", {{"first", 1}}},
      {"function pick<T extends Record<string, U>, U>(o: T) {}", {{"pick", 1}}},
      {"export default async function* walk(dir) {}", {{"walk", 1}}},
      {"export declare function f<T>(x: T): void;", {{"f", 1}}},
      {"export class Store<T> extends Base {\n"
       "  constructor(private readonly items: T[]) {\n"
       "    super();\n"
       "  }\n"
       "  get size(): number {\n"
       "    if (this.items) {\n"
       "      report(\n"
       "        this.items);\n"
       "    }\n"
       "    return 0;\n"
       "  }\n"
       "  public static async load<U>(path: string): Promise<Store<U>> {\n"
       "    for (const x of []) {\n"
       "    }\n"
       "  }\n"
       "  private parse(\n"
       "    text: string,\n"
       "  ) {\n"
       "  }\n"
       "  abstract render(): void;\n"
       "  #secret() {}\n"
       "}\n"
       "run(() => {\n"
       "});",
       {{"constructor", 2}, {"size", 5}, {"load", 12}, {"parse", 16}, {"secret", 21}}},
      // Outside a class, a call with a block argument is no declaration.
      {"describe('x', () => {\n  it(done) {\n  }\n});", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<std::pair<std::string, std::int64_t>> got;
    for (const auto& f : parseTypeScriptSource(c.source).functions)
      got.push_back({f.name, f.lineStart});
    EXPECT_EQ(got, c.functions);
  }
}

}  // namespace
}  // namespace nodrel::codeintel
