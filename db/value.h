// db/value.h: one SQLite value as bound or read back, keeping its storage class.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace nodrel::db {

// A blob is kept apart from text so that a row keeps the storage class SQLite reported.
struct Blob {
  std::string bytes;
  friend bool operator==(const Blob&, const Blob&) = default;
};

struct Null {
  friend bool operator==(const Null&, const Null&) = default;
};

using Value = std::variant<Null, std::int64_t, double, std::string, Blob>;
using Row = std::vector<Value>;

inline bool isNull(const Value& v) { return std::holds_alternative<Null>(v); }

// Typed reads: nothing when the value has another storage class (no conversion).
inline const std::string* textOf(const Value& v) { return std::get_if<std::string>(&v); }
inline std::optional<std::int64_t> integerOf(const Value& v) {
  if (auto p = std::get_if<std::int64_t>(&v)) return *p;
  return std::nullopt;
}
inline std::optional<double> realOf(const Value& v) {
  if (auto p = std::get_if<double>(&v)) return *p;
  return std::nullopt;
}
inline const Blob* blobOf(const Value& v) { return std::get_if<Blob>(&v); }
// Reads of a column that may hold no text: `fallback` for textOr, nothing for optionalTextOf.
inline std::string textOr(const Value& v, std::string fallback = {}) {
  if (auto p = std::get_if<std::string>(&v)) return *p;
  return fallback;
}
inline std::optional<std::string> optionalTextOf(const Value& v) {
  if (auto p = std::get_if<std::string>(&v)) return *p;
  return std::nullopt;
}

// Binding helpers: an absent optional binds NULL.
inline Value text(std::string_view s) { return std::string(s); }
inline Value optionalText(const std::optional<std::string>& s) {
  return s ? Value(*s) : Value(Null{});
}

}  // namespace nodrel::db
