// codeintel/text_map.h: maps keyed by text that look up by a view of it, so rows read without
// a copy are looked up without one.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace nodrel::codeintel {

struct TextViewHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view text) const noexcept {
    return std::hash<std::string_view>{}(text);
  }
};

template <typename Value>
using TextViewMap = std::unordered_map<std::string, Value, TextViewHash, std::equal_to<>>;

// The entry of `key`, made with a copy of the key only when there is none yet.
template <typename Value>
Value& entryOf(TextViewMap<Value>& map, std::string_view key) {
  auto entry = map.find(key);
  if (entry == map.end()) entry = map.emplace(std::string(key), Value{}).first;
  return entry->second;
}

}  // namespace nodrel::codeintel
