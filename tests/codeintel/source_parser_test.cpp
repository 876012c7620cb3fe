#include "codeintel/source_parser.h"

#include <gtest/gtest.h>

#include "platform/text.h"
#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

const char* const kLanguages[] = {"swift", "typescript", "javascript", "kotlin", "python",
                                  "go",    "rust",       "html",       "css"};

void expectValidText(const ParsedFile& parsed) {
  for (const auto& s : parsed.imports) EXPECT_TRUE(platform::isValidUtf8(s)) << s;
  for (const auto& d : parsed.typeDeclarations) {
    EXPECT_TRUE(platform::isValidUtf8(d.name));
    EXPECT_TRUE(platform::isValidUtf8(d.signature.value_or("")));
    EXPECT_LE(d.lineStart, d.lineEnd);
  }
  for (const auto& f : parsed.functions) {
    EXPECT_TRUE(platform::isValidUtf8(f.signature));
    EXPECT_LE(f.lineStart, f.lineEnd);
  }
  for (const auto& c : parsed.conformances) {
    EXPECT_TRUE(platform::isValidUtf8(c.typeName) && platform::isValidUtf8(c.protocolName));
  }
}

TEST(SourceParser, DispatchesOnTheExactLanguageName) {
  const std::string swift = "import Foundation\nclass A {}\n";
  EXPECT_EQ(parseSourceFile(swift, "swift").imports, std::vector<std::string>{"Foundation"});
  EXPECT_EQ(parseSourceFile(swift, "Swift"), ParsedFile{});
  EXPECT_EQ(parseSourceFile(swift, "unknown"), ParsedFile{});
  EXPECT_EQ(parseSourceFile("function f() {}", "javascript").functions.size(), 1u);
  EXPECT_EQ(parseSourceFile("<script src='a.js'>", "html").imports,
            std::vector<std::string>{"a.js"});
  EXPECT_EQ(parseSourceFile("@import 'a.css';", "css").imports, std::vector<std::string>{"a.css"});
  EXPECT_EQ(parseSourceFile("", "go"), ParsedFile{});
}

TEST(SourceParser, InvalidUtf8IsReadAsReplacementCharacters) {
  const auto parsed =
      parseSourceFile(testing::codeintelFixture("hostile/invalid_utf8.swift"), "swift");
  expectValidText(parsed);
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"Foundation", "Mo"}));
  ASSERT_EQ(parsed.typeDeclarations.size(), 1u);
  EXPECT_EQ(parsed.typeDeclarations[0].name, "Caf");
  EXPECT_EQ(parsed.typeDeclarations[0].lineEnd, 5);
  EXPECT_TRUE(parsed.functions.empty());
}

TEST(SourceParser, ByteOrderMarkAndCrLfLineEnds) {
  const auto parsed = parseSourceFile(testing::codeintelFixture("hostile/bom_crlf.py"), "python");
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"os", "typing"}));
  EXPECT_EQ(parsed.typeDeclarations, (std::vector<ParsedFile::TypeDeclaration>{
                                         {"A", SymbolKind::Class, 4, 12, "class A(Base):"}}));
  // Blank CR-LF lines inside a body are blank: they neither end the block nor keep a "\r".
  EXPECT_EQ(parsed.functions, (std::vector<ParsedFile::FunctionDecl>{
                                  {"f", 5, 9, "def f(self):"}, {"g", 10, 12, "def g(self):"}}));
}

TEST(SourceParser, NulBytesAreOrdinaryCharacters) {
  const auto parsed = parseSourceFile(testing::codeintelFixture("hostile/nul_bytes.go"), "go");
  EXPECT_EQ(parsed.imports, std::vector<std::string>{std::string("fmt\0x", 5)});
  EXPECT_TRUE(parsed.typeDeclarations.empty());
  EXPECT_EQ(parsed.functions,
            (std::vector<ParsedFile::FunctionDecl>{{"main", 7, 9, "func main("}}));
}

TEST(SourceParser, EveryLanguageSurvivesHostileBytes) {
  std::string bytes;
  for (int i = 0; i < 4096; ++i) bytes += static_cast<char>((i * 37 + i / 7) & 0xFF);
  bytes += "\nclass A {\n func f() {\n";
  for (const char* language : kLanguages) {
    SCOPED_TRACE(language);
    expectValidText(parseSourceFile(bytes, language));
  }
}

// Minified code: one line of several megabytes.
TEST(SourceParser, OneLineOfSeveralMegabytes) {
  std::string line = "import x from 'lib';";
  while (line.size() < 4 * 1024 * 1024) {
    line += "var a=require('m'),b={c:function(d){return d}};class K extends B{f(){}}";
  }
  for (const char* language : kLanguages) {
    SCOPED_TRACE(language);
    const auto parsed = parseSourceFile(line, language);
    expectValidText(parsed);
    if (std::string(language) == "typescript") {
      EXPECT_EQ(parsed.imports, (std::vector<std::string>{"lib", "m"}));
    }
  }
}

// Tens of thousands of declarations whose blocks never close: each block-end question must
// not rescan the rest of the file.
TEST(SourceParser, ManyUnterminatedDeclarations) {
  std::string swift, python;
  for (int i = 0; i < 40000; ++i) {
    swift += "func f" + std::to_string(i) + "() {\n";
    python += std::string(static_cast<std::size_t>(i % 8), ' ') + "def f(x):\n";
  }
  const auto parsedSwift = parseSourceFile(swift, "swift");
  ASSERT_EQ(parsedSwift.functions.size(), 40000u);
  EXPECT_EQ(parsedSwift.functions.back().lineEnd, 40000);
  EXPECT_EQ(parsedSwift.functions.front().lineEnd, 1);
  const auto parsedPython = parseSourceFile(python, "python");
  ASSERT_EQ(parsedPython.functions.size(), 40000u);
  EXPECT_EQ(parsedPython.functions[7].lineEnd, 8);  // width 7 ends before the width-0 line 9
}

}  // namespace
}  // namespace nodrel::codeintel
