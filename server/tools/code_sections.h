// server/tools/code_sections.h: the context's code sections, read from the code index under
// the project's key (normaliseProjectPath), however the path is spelt. Neither throws.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "db/connection.h"

namespace nodrel::server {

// {"ingested": false} when the project has no code files, else its code index in figures.
nlohmann::json fetchCodeStructure(const std::string& projectPath, db::Connection& connection);

// The project's most fragile files and a reminder to ask for impact; nothing when the
// project has no code files or they cannot be counted.
std::optional<nlohmann::json> fetchImpactHints(const std::string& projectPath,
                                               db::Connection& connection);

}  // namespace nodrel::server
