#include "codeintel/parsers/swift.h"

#include <gtest/gtest.h>

#include "tests/codeintel/fixture_text.h"

namespace nodrel::codeintel {
namespace {

using Decl = ParsedFile::TypeDeclaration;
using Fn = ParsedFile::FunctionDecl;

TEST(SwiftParser, ReadsTheSampleFile) {
  const auto parsed = parseSwiftSource(testing::codeintelFixture("parsers/sample.swift"));
  EXPECT_EQ(parsed.imports, (std::vector<std::string>{"Foundation", "UIKit"}));
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{
                {"Drawable", SymbolKind::Protocol, 5, 7, "protocol Drawable"},
                {"Canvas", SymbolKind::Class, 9, 25,
                 "public final class Canvas: UIView, Drawable, Codable"},
                {"Shape", SymbolKind::Struct, 27, 30, "struct Shape: Hashable"},
                {"Tool", SymbolKind::Enum, 32, 34, "enum Tool: String, CaseIterable"},
                {"Canvas", SymbolKind::Extension, 36, 38, "extension Canvas"},
            }));
  EXPECT_EQ(parsed.inheritances, (std::vector<ParsedFile::Inheritance>{{"Canvas", "UIView"}}));
  EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{
                                     {"Canvas", "Drawable"},
                                     {"Canvas", "Codable"},
                                     {"Shape", "Hashable"},
                                     {"Tool", "String"},
                                     {"Tool", "CaseIterable"},
                                 }));
  // A protocol requirement has no body: its "block" runs on until the braces that follow it
  // balance, here the opening line of the next type.
  EXPECT_EQ(parsed.functions, (std::vector<Fn>{
                                  {"draw", 6, 9, "func draw(in context: CGContext)"},
                                  {"makeDefault", 12, 14, "class func makeDefault()"},
                                  {"layoutSubviews", 16, 18, "override func layoutSubviews()"},
                                  {"draw", 20, 24, "func draw(in context: CGContext)"},
                                  {"add", 29, 29, "mutating func add(_ point: CGPoint)"},
                                  {"preview", 37, 37, "static func preview()"},
                              }));
}

TEST(SwiftParser, SmallCases) {
  {
    const auto parsed = parseSwiftSource(
        "import Foundation\n\nfinal class A: B, C {\n  func f(x: Int) -> Int {\n    return x\n  "
        "}\n}\n");
    EXPECT_EQ(parsed.imports, std::vector<std::string>{"Foundation"});
    EXPECT_EQ(parsed.typeDeclarations,
              (std::vector<Decl>{{"A", SymbolKind::Class, 3, 7, "final class A: B, C"}}));
    EXPECT_EQ(parsed.inheritances, (std::vector<ParsedFile::Inheritance>{{"A", "B"}}));
    EXPECT_EQ(parsed.conformances, (std::vector<ParsedFile::Conformance>{{"A", "C"}}));
    EXPECT_EQ(parsed.functions, (std::vector<Fn>{{"f", 4, 6, "func f(x: Int)"}}));
  }
  {
    const auto parsed = parseSwiftSource("struct S: Codable, Hashable {");
    EXPECT_TRUE(parsed.inheritances.empty());
    EXPECT_EQ(parsed.conformances,
              (std::vector<ParsedFile::Conformance>{{"S", "Codable"}, {"S", "Hashable"}}));
  }
  // The same module imported twice is listed twice.
  EXPECT_EQ(parseSwiftSource("import A\nimport A").imports, (std::vector<std::string>{"A", "A"}));
  EXPECT_TRUE(parseSwiftSource("@testable import XCTest").imports.empty());
}

TEST(SwiftParser, ClassAsAMemberModifierDeclaresNoType) {
  const auto parsed = parseSwiftSource(
      "class Cache {\n  class func shared() -> Cache { Cache() }\n  class var size: Int { 1 }\n"
      "  class override func reset() {}\n}\n");
  EXPECT_EQ(parsed.typeDeclarations,
            (std::vector<Decl>{{"Cache", SymbolKind::Class, 1, 5, "class Cache"}}));
  ASSERT_EQ(parsed.functions.size(), 2u);
  EXPECT_EQ(parsed.functions[0].name, "shared");
  EXPECT_EQ(parsed.functions[1].name, "reset");
}

TEST(SwiftParser, GenericAttributedAndMultiLineFunctions) {
  struct Case {
    std::string source;
    std::vector<std::pair<std::string, std::int64_t>> functions;
  };
  const Case cases[] = {
      {"func map<T: Equatable>(_ f: (Int) -> T) -> [T] {", {{"map", 1}}},
      {"@inlinable\npublic func log(level: Level) {", {{"log", 2}}},
      {"@inlinable public static func bootstrap(_ factory: @escaping (String) -> Handler) {",
       {{"bootstrap", 1}}},
      {"@available(*, deprecated, message: \"use x\") @discardableResult func run() -> Int {",
       {{"run", 1}}},
      {"    public func log(\n        level: Logger.Level,\n        message: Message\n    ) {",
       {{"log", 1}}},
      {"private(set) func reset() {", {{"reset", 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    std::vector<std::pair<std::string, std::int64_t>> got;
    for (const auto& f : parseSwiftSource(c.source).functions) got.push_back({f.name, f.lineStart});
    EXPECT_EQ(got, c.functions);
  }
}

}  // namespace
}  // namespace nodrel::codeintel
