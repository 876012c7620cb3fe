#include "codeintel/parsers/python.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(PythonParser, ReadsTheSampleFile) {
  const auto parsed = parsePythonSource(testing::codeintelFixture("parsers/sample.py"));
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"os", "collections.abc", "typing"}));
  EXPECT_EQ(parsed.typeDeclarations, (std::vector<Decl>{
                                         {"Base", SymbolKind::Class, 7, 10, "class Base(object):"},
                                         {"Repository", SymbolKind::Class, 11, 21,
                                          "class Repository(Base, collections.abc.Mapping):"},
                                     }));
  EXPECT_TRUE(parsed.inheritances.empty());
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{
                                     {"Repository", "Base"},
                                     {"Repository", "collections.abc.Mapping"},
                                 }));
  EXPECT_EQ(parsed.functions,
            (std::vector<Fn>{
                // Ends on the comment line before the next method: comments do not end a block
                // but may close it.
                {"__init__", 14, 17, "def __init__(self, root: str) -> None:"},
                {"get", 18, 21, "def get(self, key):"},
                {"fetch", 22, 24, "async def fetch(url) -> Optional[str]:"},
                // Runs to the end of a file that ends with a line feed: the final empty line.
                {"last", 25, 27, "def last():"},
            }));
}

TEST(PythonParser, SmallCases) {
  EXPECT_TRUE(parsePythonSource("class A(object):\n  pass").conformances.empty());
  EXPECT_EQ(parsePythonSource("class B(A, Mixin):\n  pass").conformances,
            (std::vector<ParsedFile::Conformance>{{"B", "A"}, {"B", "Mixin"}}));
  const auto parsed = parsePythonSource("def f():\n  a\n  b\n\nx = 1\ndef g(): pass");
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{{"f", 1, 4, "def f():"}, {"g", 6, 6, "def g():"}}));
}

}  // namespace
}  // namespace nodrel::codeintel
