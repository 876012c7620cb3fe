// db/json_array.h: a list bound as one JSON array parameter, which json_each turns back into
// rows: one parameter instead of one per element, which SQLite caps.
#pragma once

#include <string>
#include <vector>

namespace nodrel::db {

// `values` as one JSON array of strings. Bytes other than the JSON escapes pass through
// unchanged, so json_each gives back each string as it was, whatever its encoding.
std::string sqlJsonArray(const std::vector<std::string>& values);

}  // namespace nodrel::db
