// store/memory_links.h: the memory graph's edges, made when a memory is written.
#pragma once

#include <optional>
#include <string>

#include "db/connection.h"

namespace nodrel::store {

// Links the just-inserted memory to related recent memories. Throws db::Error only when the
// candidate query cannot be prepared; failed inserts are passed over.
void createMemoryLinks(const std::string& memoryID, const std::string& body,
                       db::Connection& connection);

}  // namespace nodrel::store
