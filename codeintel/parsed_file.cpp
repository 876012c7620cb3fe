#include "codeintel/parsed_file.h"

namespace nodrel::codeintel {

std::string_view toString(SymbolKind kind) {
  switch (kind) {
    case SymbolKind::Class:
      return "class";
    case SymbolKind::Struct:
      return "struct";
    case SymbolKind::Enum:
      return "enum";
    case SymbolKind::Protocol:
      return "protocol";
    case SymbolKind::Function:
      return "function";
    case SymbolKind::Method:
      return "method";
    case SymbolKind::Property:
      return "property";
    case SymbolKind::Extension:
      return "extension";
    case SymbolKind::Initializer:
      return "initializer";
  }
  return "class";
}

std::optional<SymbolKind> symbolKindFromRaw(std::string_view raw) {
  for (SymbolKind kind : kAllSymbolKinds) {
    if (toString(kind) == raw) return kind;
  }
  return std::nullopt;
}

void to_json(nlohmann::json& json, SymbolKind kind) { json = std::string(toString(kind)); }

void from_json(const nlohmann::json& json, SymbolKind& kind) {
  if (!json.is_string()) throw RecordDecodingError("symbol kind: expected a string");
  auto decoded = symbolKindFromRaw(json.get_ref<const std::string&>());
  if (!decoded) {
    throw RecordDecodingError("symbol kind: cannot initialize SymbolKind from invalid value " +
                              json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  kind = *decoded;
}

}  // namespace nodrel::codeintel
