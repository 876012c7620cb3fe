// codeintel/parsed_file.h: what one source file declares and imports, as the parsers hand it
// to ingestion; the symbol kinds whose raw texts fill `code_symbols.kind`; and the counts of
// one ingestion run.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace nodrel::codeintel {

enum class SymbolKind {
  Class,
  Struct,
  Enum,
  Protocol,
  Function,
  Method,
  Property,
  Extension,
  Initializer
};

// Every case, in declaration order.
inline constexpr std::array<SymbolKind, 9> kAllSymbolKinds = {
    SymbolKind::Class,    SymbolKind::Struct,    SymbolKind::Enum,
    SymbolKind::Protocol, SymbolKind::Function,  SymbolKind::Method,
    SymbolKind::Property, SymbolKind::Extension, SymbolKind::Initializer};

// "class", "struct", …, "initializer".
std::string_view toString(SymbolKind kind);
// Exact, case-sensitive match of a raw value; nothing for any other text.
std::optional<SymbolKind> symbolKindFromRaw(std::string_view raw);

// The error of decoding a record or an enumeration from JSON: a missing key, a value of the
// wrong type, or a text that names no case.
class RecordDecodingError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A symbol kind is coded as its raw value; decoding any other value throws
// RecordDecodingError.
void to_json(nlohmann::json& json, SymbolKind kind);
void from_json(const nlohmann::json& json, SymbolKind& kind);

struct ParsedFile {
  struct TypeDeclaration {
    std::string name;
    SymbolKind kind = SymbolKind::Class;
    std::int64_t lineStart = 1;            // 1-based
    std::int64_t lineEnd = 1;              // last line of the body, never before lineStart
    std::optional<std::string> signature;  // stored as NULL when absent
    friend bool operator==(const TypeDeclaration&, const TypeDeclaration&) = default;
  };
  struct Conformance {
    std::string typeName;
    std::string protocolName;
    friend bool operator==(const Conformance&, const Conformance&) = default;
  };
  struct Inheritance {
    std::string typeName;
    std::string parentName;
    friend bool operator==(const Inheritance&, const Inheritance&) = default;
  };
  struct FunctionDecl {
    std::string name;
    std::int64_t lineStart = 1;
    std::int64_t lineEnd = 1;
    std::string signature;
    friend bool operator==(const FunctionDecl&, const FunctionDecl&) = default;
  };

  // Each list keeps the order in which the parser found its entries.
  std::vector<std::string> imports;
  std::vector<TypeDeclaration> typeDeclarations;
  std::vector<Conformance> conformances;
  std::vector<Inheritance> inheritances;
  std::vector<FunctionDecl> functions;

  friend bool operator==(const ParsedFile&, const ParsedFile&) = default;
};

// The outcome of one ingestion run. filesDiscovered == filesParsed + filesSkipped +
// errors.size().
struct IngestionResult {
  std::string project;  // normalised (absolute, no trailing "/", "." and ".." resolved)
  std::int64_t filesDiscovered = 0;
  std::int64_t filesParsed = 0;
  std::int64_t filesSkipped = 0;
  std::int64_t symbolsExtracted = 0;
  std::int64_t edgesCreated = 0;
  std::vector<std::string> errors;  // "<file name>: <description>", in discovery order

  friend bool operator==(const IngestionResult&, const IngestionResult&) = default;
};

}  // namespace nodrel::codeintel
