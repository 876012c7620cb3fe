#include "codeintel/parsed_file.h"

#include <gtest/gtest.h>

namespace nodrel::codeintel {
namespace {

TEST(SymbolKind, RawValuesInCaseOrder) {
  const char* const raw[] = {"class",  "struct",   "enum",      "protocol",   "function",
                             "method", "property", "extension", "initializer"};
  ASSERT_EQ(kAllSymbolKinds.size(), std::size(raw));
  for (std::size_t i = 0; i < kAllSymbolKinds.size(); ++i) {
    SCOPED_TRACE(raw[i]);
    EXPECT_EQ(toString(kAllSymbolKinds[i]), raw[i]);
    EXPECT_EQ(symbolKindFromRaw(raw[i]), kAllSymbolKinds[i]);
  }
  for (const char* other : {"Class", "FUNCTION", " class", "", "type"}) {
    SCOPED_TRACE(other);
    EXPECT_FALSE(symbolKindFromRaw(other).has_value());
  }
}

TEST(SymbolKind, JsonCodingIsTheRawValue) {
  EXPECT_EQ(nlohmann::json(SymbolKind::Initializer), nlohmann::json("initializer"));
  EXPECT_EQ(nlohmann::json("extension").get<SymbolKind>(), SymbolKind::Extension);
  for (const auto& bad : {nlohmann::json("Initializer"), nlohmann::json(3), nlohmann::json()}) {
    SCOPED_TRACE(bad.dump());
    EXPECT_THROW(bad.get<SymbolKind>(), RecordDecodingError);
  }
}

TEST(ParsedFile, ADeclarationMayLackASignature) {
  ParsedFile::TypeDeclaration declaration{"A", SymbolKind::Struct, 1, 2, std::nullopt};
  EXPECT_FALSE(declaration.signature.has_value());
  EXPECT_EQ(ParsedFile{}, ParsedFile{});
}

}  // namespace
}  // namespace nodrel::codeintel
