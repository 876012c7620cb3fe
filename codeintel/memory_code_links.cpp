// codeintel/memory_code_links.cpp: links from memories to the code files their context
// paths name.
#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "db/error.h"
#include "platform/time.h"
#include "store/memory_links.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectFileKeys =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

}  // namespace

// A context path names a file when it is the file's relative path, or a trailing part of it
// at a "/" boundary in which ASCII letters match in either case (as LIKE compares); its own
// "%", "_" and "\" are plain characters, and an empty one names nothing. Each trailing part
// of each file's path is looked up among the context paths, so the cost follows the files and
// their depth, however many memories there are.
void CodeIngestionService::linkMemoriesToCodeFiles(const std::string& project) {
  store::ContextPathLookup lookup(db_);
  // Each trailing part of a path at a "/" boundary, with the files it ends; the whole path
  // names its file only when a context path equals it exactly.
  struct Named {
    std::vector<std::string> bySuffix;  // files whose path ends with "/" and this text
    std::vector<std::string> byWhole;   // files whose path is this text
  };
  std::unordered_map<std::string, Named> paths;
  std::vector<store::MemoryCodeLink> matches;
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
    std::unordered_set<std::string> seen;
    for (const auto& match : lookup.find(keys)) {
      auto named = paths.find(match.path);
      if (named == paths.end()) continue;
      auto add = [&](const std::string& file) {
        std::string key = match.memoryID;
        key.push_back('\0');
        key += file;
        if (seen.insert(std::move(key)).second) matches.push_back({match.memoryID, file});
      };
      for (const auto& file : named->second.bySuffix) add(file);
      if (match.contextPath == match.path) {
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
  store::insertCodeFileLinks(matches, platform::currentTimestampText(), db_);
}

}  // namespace nodrel::codeintel
