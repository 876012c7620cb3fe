// codeintel/impact_paths.h: the files an impact analysis is asked about, found from the
// paths a caller gives.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"

namespace nodrel::codeintel {

// The path as the lookups compare it: relative to the project root when it lies under it,
// "." segments, repeated and trailing "/" removed; nothing when no file could be meant.
std::optional<std::string> lookupPath(const std::string& project, const std::string& given);

// The ids of the project's files that the paths name: by exact relative path first, then by
// suffix at a "/" boundary, then by file name; first occurrences only.
std::vector<std::string> resolveChangedFileIDs(const std::string& project,
                                               const std::vector<std::string>& paths,
                                               db::Connection& db);

// The relative paths of the files, in the order of `ids`.
std::vector<std::string> relativePathForFileID(const std::vector<std::string>& ids,
                                               db::Connection& db);

}  // namespace nodrel::codeintel
