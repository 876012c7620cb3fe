#include "codeintel/parsers/kotlin.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(KotlinParser, ReadsTheSampleFile) {
  const auto parsed = parseKotlinSource(testing::codeintelFixture("parsers/sample.kt"));
  // The name class takes the dot before a star, so a star import keeps only its prefix.
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"kotlin.math.PI", "kotlinx.coroutines.",
                                                      "com.example.util.Logger"}));
  EXPECT_EQ(
      parsed.typeDeclarations,
      (std::vector<Decl>{
          {"Shape", SymbolKind::Protocol, 7, 9, "interface Shape"},
          {"Circle", SymbolKind::Class, 11, 15,
           "data class Circle(val r: Double) : Base(r), Shape"},
          {"Result", SymbolKind::Class, 17, 19, "sealed class Result"},
          {"Color", SymbolKind::Class, 19, 19, "enum class Color"},
          {"Registry", SymbolKind::Class, 21, 23, "object Registry : Shape, Comparable<Registry>"},
      }));
  EXPECT_TRUE(parsed.inheritances.empty());
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{
                                     {"Circle", "Base"},
                                     {"Circle", "Shape"},
                                     {"Registry", "Shape"},
                                     {"Registry", "Comparable<Registry>"},
                                 }));
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{
                                  {"area", 8, 11, "fun area("},
                                  {"area", 12, 14, "override fun area("},
                                  {"area", 22, 25, "override fun area("},
                                  {"load", 25, 27, "suspend fun <T> load("},
                              }));
}

TEST(KotlinParser, SmallCases) {
  EXPECT_EQ(parseKotlinSource("import a.b.C as D").imports, std::vector<std::string>{"a.b.C"});
  EXPECT_EQ(parseKotlinSource("data class P(val x: Int) : Base(), Marker {").conformances,
            (std::vector<ParsedFile::Conformance>{{"P", "Base"}, {"P", "Marker"}}));
  EXPECT_EQ(parseKotlinSource("interface I").typeDeclarations.at(0).kind, SymbolKind::Protocol);
  EXPECT_EQ(parseKotlinSource("enum class E").typeDeclarations.at(0).kind, SymbolKind::Class);
}

TEST(KotlinParser, ExtensionFunctionsAnnotationsAndBackQuotedNames) {
  struct Case {
    std::string source;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"fun String.shout(): String = uppercase()", {"shout"}},
      {"fun <T> List<T>.second(): T = this[1]", {"second"}},
      {"inline fun <reified T : Any> Foo?.cast(): T? = null", {"cast"}},
      {"internal fun okio.Buffer.readHex(): String {", {"readHex"}},
      {"fun `reads a line`() {", {"reads a line"}},
      {"@Test fun `empty buffer`() {", {"empty buffer"}},
      {"@JvmStatic @Throws(IOException::class) actual fun open(path: Path) {", {"open"}},
      {"private fun plain(x: Map<String, Int>) {", {"plain"}},
      // A function type's receiver in a parameter is no extension of the function.
      {"fun apply(block: Builder.() -> Unit) {", {"apply"}},
      {"fun interface Action {", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<std::string> got;
    for (const auto& f : parseKotlinSource(c.source).functions) got.push_back(f.name);
    EXPECT_EQ(got, c.names);
  }
}

}  // namespace
}  // namespace nodrel::codeintel
