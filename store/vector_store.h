// store/vector_store.h: sentence vectors of memories in `memory_vectors`, and their search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/connection.h"

namespace nodrel::store {

// The English sentence vector of the text, or nothing when none can be had. Never throws.
std::optional<std::vector<float>> embed(std::string_view text);

// Writes (replacing) the vector row of the memory. Throws db::Error.
void storeEmbedding(const std::string& memoryID, const std::vector<float>& embedding,
                    db::Connection& connection);

}  // namespace nodrel::store
