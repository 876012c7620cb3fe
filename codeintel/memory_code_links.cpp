// codeintel/memory_code_links.cpp: links from memories to the code files their context
// paths name.
#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/error.h"
#include "db/json_array.h"
#include "db/savepoint.h"
#include "platform/time.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectFileKeys =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

// A context path names a file when it is the file's relative path, or a trailing part of it
// at a "/" boundary in which ASCII letters match in either case (as LIKE compares); its own
// "%", "_" and "\" are plain characters, and an empty one names nothing. Each trailing part
// of each file's path is looked up in the index of context paths, so the cost follows the
// files and their depth, however many memories there are.
constexpr std::string_view kSelectMemoriesNamingPaths = R"sql(SELECT p.value, m.id, m.context_path
FROM json_each(?) p
CROSS JOIN memories m ON m.context_path = p.value COLLATE NOCASE
WHERE m.context_path IS NOT NULL AND m.context_path != '')sql";

constexpr std::string_view kInsertMemoryLink =
    R"sql(INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
VALUES (?, ?, 'entity', 1.0, ?))sql";

db::Statement& fresh(db::Statement& stmt) {
  stmt.reset();
  return stmt;
}

}  // namespace

void CodeIngestionService::linkMemoriesToCodeFiles(const std::string& project) {
  auto select = db_.prepare(kSelectMemoriesNamingPaths);
  // Each trailing part of a path at a "/" boundary, with the files it ends; the whole path
  // names its file only when a context path equals it exactly.
  struct Named {
    std::vector<std::string> bySuffix;  // files whose path ends with "/" and this text
    std::vector<std::string> byWhole;   // files whose path is this text
  };
  std::unordered_map<std::string, Named> paths;
  std::vector<std::pair<std::string, std::string>> matches;
  try {
    auto files = db_.prepare(kSelectFileKeys);
    files.bindText(1, project);
    while (files.step()) {
      auto idValue = files.column(0);
      auto pathValue = files.column(1);
      auto id = db::textOf(idValue);
      auto path = db::textOf(pathValue);
      if (!id || !path || path->empty()) continue;
      paths[*path].byWhole.push_back(*id);
      for (auto slash = path->find('/'); slash != std::string::npos;
           slash = path->find('/', slash + 1)) {
        if (slash + 1 < path->size()) paths[path->substr(slash + 1)].bySuffix.push_back(*id);
      }
    }
    if (paths.empty()) return;
    std::vector<std::string> keys;
    keys.reserve(paths.size());
    for (const auto& [path, named] : paths) keys.push_back(path);
    select.bindText(1, db::sqlJsonArray(keys));
    std::unordered_set<std::string> seen;
    while (select.step()) {
      auto pathValue = select.column(0);
      auto memoryValue = select.column(1);
      auto contextValue = select.column(2);
      auto path = db::textOf(pathValue);
      auto memory = db::textOf(memoryValue);
      auto context = db::textOf(contextValue);
      if (!path || !memory || !context) continue;
      auto named = paths.find(*path);
      if (named == paths.end()) continue;
      auto add = [&](const std::string& file) {
        std::string key = *memory;
        key.push_back('\0');
        key += file;
        if (seen.insert(std::move(key)).second) matches.emplace_back(*memory, file);
      };
      for (const auto& file : named->second.bySuffix) add(file);
      if (*context == *path) {
        for (const auto& file : named->second.byWhole) add(file);
      }
    }
  } catch (const db::Error&) {
    return;  // like a refused link, a failed match costs the links and nothing else
  }
  if (matches.empty()) return;
  // In key order the inserts walk the link indexes from one page to the next instead of
  // jumping across a table that holds every link of every memory.
  std::sort(matches.begin(), matches.end());
  const std::string now = platform::currentTimestampText();
  auto insert = db_.prepare(kInsertMemoryLink);
  db::Savepoint savepoint(db_, "link_memories");
  for (const auto& [memory, file] : matches) {
    try {
      fresh(insert).bindText(1, memory).bindText(2, "code:" + file).bindText(3, now).run();
    } catch (const db::Error&) {
      // A refused link is passed over.
    }
  }
  savepoint.commit();
}

}  // namespace nodrel::codeintel
