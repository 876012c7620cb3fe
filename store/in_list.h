// store/in_list.h: statements whose "IN (...)" list grows with the data are run in batches, so
// that no batch binds more parameters than the oldest SQLite builds allow (999).
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>

namespace nodrel::store {

// Parameters one batch may spend on its IN list, leaving room for the statement's others.
inline constexpr std::size_t kInListBatchSize = 400;

// "?, ?, ?" with `count` markers.
inline std::string sqlPlaceholders(std::size_t count) {
  std::string out;
  out.reserve(count * 3);
  for (std::size_t i = 0; i < count; ++i) out += (i == 0) ? "?" : ", ?";
  return out;
}

// Calls `onBatch` with consecutive slices of `items`, each at most `batchSize` long.
template <typename T, typename F>
void forEachBatch(std::span<const T> items, std::size_t batchSize, F&& onBatch) {
  batchSize = std::max<std::size_t>(batchSize, 1);
  for (std::size_t start = 0; start < items.size(); start += batchSize) {
    onBatch(items.subspan(start, std::min(batchSize, items.size() - start)));
  }
}

}  // namespace nodrel::store
