// cli/session_start_text.h: the text `nodrel context` prints when a session starts: the
// session-ready header, the recalled memories in three tiers of detail, and the memory index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/memory_index.h"
#include "store/project_registry.h"
#include "store/recall.h"

namespace nodrel::cli {

struct ResolvedProject {
  std::optional<std::string> id;  // absent when no registered project matched
  std::string name;
  std::string path;       // the working directory as passed, also when an ancestor matched
  std::string matchedBy;  // "cwd" or "none"
};

// "# Nodrel session ready", the project and how it matched, what is stored, the server's tools
// and, when there are any, the other projects with something stored.
std::string renderSessionReadyHeader(const ResolvedProject& project, std::int64_t memoryCount,
                                     std::int64_t correctionCount, std::int64_t indexNodeCount,
                                     std::int64_t instructionCount,
                                     const std::vector<store::ProjectActivity>& siblings);

// The hits in order: the first 5 in full (up to 400 characters), the next 10 by their first
// sentence, the rest by their first five words.
std::string renderContextBlock(const std::string& projectName,
                               const std::vector<store::ScoredMemory>& hits);

std::string renderMemoryIndex(const std::vector<store::IndexNode>& nodes);

}  // namespace nodrel::cli
