// server/tools/memory_sections.h: the context's memory sections: the memories recalled for
// the project, and the scenes they share. Neither throws; a failure is logged as the other
// sections' are (context_sections.h) and gives an empty list.
#pragma once

#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"
#include "store/memory.h"
#include "store/vector_store.h"

namespace nodrel::server {

// Up to 15 memories recalled for the project, best first, each recorded as injected; the
// recorded rows are written together, as one transaction. `keptVectors`: the copy kept for
// `connection`, or null.
nlohmann::json fetchTopMemories(const std::string& projectPath, db::Connection& connection,
                                store::KeptVectorCopy* keptVectors);

// One memory entry of the context: raw type and tier names, score to three decimals.
nlohmann::json memoryJSONForContext(const store::Memory& memory, double score);

// The scenes sharing at least two members with these memories, most overlap first.
nlohmann::json fetchMemScenes(const std::set<std::string>& memoryIDs, db::Connection& connection);

}  // namespace nodrel::server
