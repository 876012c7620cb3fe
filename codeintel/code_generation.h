// codeintel/code_generation.h: a counter per project that every transaction writing the
// project's code rows (files, symbols, edges) raises, so that whoever keeps figures or a graph
// computed from those rows can tell, with one indexed read, whether they still hold.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "db/connection.h"

namespace nodrel::codeintel {

// Raises the project's counter; called inside the transaction of the write it stands for.
// Throws db::Error, for instance when the table is missing from an older database.
void bumpCodeGeneration(const std::string& project, db::Connection& db);

// The project's counter (0 when its code rows were never written), or nothing when it cannot
// be read: then nothing kept may be trusted. Never throws.
std::optional<std::int64_t> codeGeneration(const std::string& project, db::Connection& db);

// The sum of every project's counter, which rises whenever any code row of any project is
// written; nothing when it cannot be read. Never throws.
std::optional<std::int64_t> totalCodeGeneration(db::Connection& db);

}  // namespace nodrel::codeintel
