// codeintel/memory_code_links.cpp: links from memories to the code files their context
// paths name.
#include "codeintel/code_ingestion_service.h"

#include <algorithm>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "codeintel/text_map.h"
#include "db/error.h"
#include "platform/time.h"
#include "store/memory_links.h"

namespace nodrel::codeintel {
namespace {

constexpr std::string_view kSelectFileKeys =
    "SELECT id, relative_path FROM code_files WHERE project = ?";

struct CodeFile {
  std::string id;
  std::string path;  // never empty
};

// The text with ASCII letters in lower case and every other byte as it is, which is how
// SQLite's NOCASE compares.
std::string foldAsciiCase(std::string_view text) {
  std::string folded(text);
  for (char& c : folded) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return folded;
}

// Each trailing part of each file's path is looked up by index among the context paths, so the
// cost follows the files and their depth, however many memories there are.
std::vector<store::MemoryCodeLink> matchByIndex(const std::vector<CodeFile>& files,
                                                store::ContextPathLookup& lookup) {
  // Each trailing part of a path at a "/" boundary, with the files it ends; the whole path
  // names its file only when a context path equals it exactly.
  struct Named {
    std::vector<const std::string*> bySuffix;  // files whose path ends with "/" and this text
    std::vector<const std::string*> byWhole;   // files whose path is this text
  };
  std::unordered_map<std::string, Named> paths;
  for (const auto& file : files) {
    const std::string& path = file.path;
    paths[path].byWhole.push_back(&file.id);
    for (auto slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
      if (slash + 1 < path.size()) paths[path.substr(slash + 1)].bySuffix.push_back(&file.id);
    }
  }
  std::vector<std::string> keys;
  keys.reserve(paths.size());
  for (const auto& [path, named] : paths) keys.push_back(path);
  std::vector<store::MemoryCodeLink> matches;
  for (const auto& match : lookup.find(keys)) {
    auto named = paths.find(match.path);
    if (named == paths.end()) continue;
    for (const auto* file : named->second.bySuffix) matches.push_back({match.memoryID, *file});
    if (match.contextPath == match.path) {
      for (const auto* file : named->second.byWhole) matches.push_back({match.memoryID, *file});
    }
  }
  return matches;
}

// The same matches with every context path in memory: each file's path and trailing parts are
// looked up among them, without a statement per part.
std::vector<store::MemoryCodeLink> matchInMemory(
    const std::vector<CodeFile>& files, const std::vector<store::ContextPathMemory>& memories) {
  TextViewMap<std::vector<const store::ContextPathMemory*>> byFoldedPath;
  for (const auto& memory : memories) {
    byFoldedPath[foldAsciiCase(memory.contextPath)].push_back(&memory);
  }
  std::vector<store::MemoryCodeLink> matches;
  for (const auto& file : files) {
    const std::string folded = foldAsciiCase(file.path);
    if (auto whole = byFoldedPath.find(std::string_view(folded)); whole != byFoldedPath.end()) {
      for (const auto* memory : whole->second) {
        if (memory->contextPath == file.path) matches.push_back({memory->memoryID, file.id});
      }
    }
    for (auto slash = folded.find('/'); slash != std::string::npos;
         slash = folded.find('/', slash + 1)) {
      if (slash + 1 >= folded.size()) continue;
      auto part = byFoldedPath.find(std::string_view(folded).substr(slash + 1));
      if (part == byFoldedPath.end()) continue;
      for (const auto* memory : part->second) matches.push_back({memory->memoryID, file.id});
    }
  }
  return matches;
}

}  // namespace

// A context path names a file when it is the file's relative path, or a trailing part of it
// at a "/" boundary in which ASCII letters match in either case (as LIKE compares); its own
// "%", "_" and "\" are plain characters, and an empty one names nothing.
void CodeIngestionService::linkMemoriesToCodeFiles(const std::string& project) {
  store::ContextPathLookup lookup(db_);
  std::vector<store::MemoryCodeLink> matches;
  try {
    std::vector<CodeFile> files;
    std::size_t parts = 0;  // paths and trailing parts to look up, at most
    auto select = db_.prepare(kSelectFileKeys);
    select.bindText(1, project);
    while (select.step()) {
      auto id = select.columnText(0);
      auto path = select.columnText(1);
      if (!id || !path || path->empty()) continue;
      parts += 1 + static_cast<std::size_t>(std::count(path->begin(), path->end(), '/'));
      files.push_back({std::string(*id), std::string(*path)});
    }
    if (files.empty()) return;
    // Fewer memories with a context path than parts to look up (a store without any, most
    // often): reading them all costs less than a lookup per part.
    if (auto memories = store::contextPathMemoriesUpTo(parts, db_)) {
      matches = matchInMemory(files, *memories);
    } else {
      matches = matchByIndex(files, lookup);
    }
  } catch (const db::Error&) {
    return;  // like a refused link, a failed match costs the links and nothing else
  }
  if (matches.empty()) return;
  // In key order the inserts walk the link indexes from one page to the next instead of
  // jumping across a table that holds every link of every memory.
  std::sort(matches.begin(), matches.end());
  matches.erase(std::unique(matches.begin(), matches.end()), matches.end());
  store::insertCodeFileLinks(matches, platform::currentTimestampText(), db_);
}

}  // namespace nodrel::codeintel
