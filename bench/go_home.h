// bench/go_home.h: the stores the code-intelligence benchmarks share. The project is Go's
// standard library (NODREL_BENCH_GO_DIR, default /usr/share/go-1.19/src, Debian package
// golang-1.19-src); beside it, 10,000 memories written through writeMemory, with bodies of one
// to three sentences from the tree's own comments, most of them of that project and the rest
// of another, a third with a context path naming one of its files (a relative path, a trailing
// part of one or a bare file name), given months of history. Both are built once under
// <build>/bench-cache and reused; delete the folder after changing how they are built.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench/simulated_history.h"
#include "bench/store_builder.h"
#include "codeintel/code_ingestion_service.h"
#include "codeintel/ingestion.h"
#include "db/connection.h"
#include "store/write_path.h"

namespace nodrel::bench {

namespace gohome {
namespace fs = std::filesystem;

// Bump when the stores change, so stale caches are rebuilt.
constexpr int kVersion = 1;
constexpr int kMemories = 10'000;

inline fs::path cacheDirectory() {
  return fs::path(NODREL_BINARY_DIR) / "bench-cache" / ("go-home-v" + std::to_string(kVersion));
}

inline std::vector<std::string> commentSentences(const std::vector<fs::path>& files) {
  std::set<std::string> seen;
  std::vector<std::string> sentences;
  for (const auto& file : files) {
    if (file.extension() != ".go") continue;
    std::ifstream in(file);
    std::string line;
    while (std::getline(in, line)) {
      auto start = line.find_first_not_of(" \t");
      if (start == std::string::npos || line.compare(start, 3, "// ") != 0) continue;
      std::string text = line.substr(start + 3);
      if (text.size() < 30 || text.size() > 200 || text.back() != '.') continue;
      if (seen.insert(text).second) sentences.push_back(std::move(text));
    }
  }
  return sentences;
}

}  // namespace gohome

inline std::filesystem::path goSourceTree() {
  const char* dir = std::getenv("NODREL_BENCH_GO_DIR");
  std::filesystem::path tree = dir && *dir ? dir : "/usr/share/go-1.19/src";
  std::error_code ec;
  return std::filesystem::is_directory(tree, ec) ? tree : std::filesystem::path();
}

// The project path as ingestion stores it.
inline std::string goProject() { return codeintel::normaliseProjectPath(goSourceTree().string()); }

// A database of the schema and the 10,000 memories, with no code ingested: copy it before
// writing to it. Empty when the Go tree is missing.
inline std::filesystem::path memoriesTemplate() {
  namespace fs = std::filesystem;
  const fs::path tree = goSourceTree();
  if (tree.empty()) return {};
  const fs::path path = gohome::cacheDirectory() / "memories.db";
  const fs::path done = gohome::cacheDirectory() / "memories.done";
  if (fs::exists(done)) return path;
  fs::create_directories(gohome::cacheDirectory());
  fs::remove(path);
  std::fprintf(stderr, "building %s ...\n", path.c_str());
  const auto started = std::chrono::steady_clock::now();
  const std::string project = goProject();
  const auto files = codeintel::discoverSourceFiles(project);
  std::vector<std::string> relative;
  for (const auto& file : files) relative.push_back(file.string().substr(project.size() + 1));
  const auto sentences = gohome::commentSentences(files);
  std::mt19937 rng(20261210);
  {
    auto db = openStoreToBuild(path);
    writeMemoriesInBatches(db, gohome::kMemories, [&](int) {
      store::MemoryWrite write;
      const int count = 1 + static_cast<int>(rng() % 3);
      for (int s = 0; s < count; ++s) {
        if (s) write.body += ' ';
        write.body += sentences[rng() % sentences.size()];
      }
      write.project = rng() % 5 == 0 ? std::string("/home/dev/other-service") : project;
      if (rng() % 3 == 0) {
        std::string file = relative[rng() % relative.size()];
        const auto form = rng() % 20;
        if (form >= 12) {
          // A trailing part: the last two components, or the bare name.
          auto slash = file.rfind('/');
          if (slash != std::string::npos && form < 17) slash = file.rfind('/', slash - 1);
          if (slash != std::string::npos) file = file.substr(slash + 1);
        }
        write.contextPath = file;
        write.body += " (" + file + ")";
      }
      write.importance = 1 + static_cast<int>(rng() % 10);
      return write;
    });
    spreadOverTime(db, rng);
    db.exec("PRAGMA wal_checkpoint(TRUNCATE);");
  }
  std::ofstream(done) << "ok\n";
  std::fprintf(stderr, "built in %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
  return path;
}

// A HOME whose database holds the memories, the ingested Go tree and a `projects` row for it.
// Empty when the Go tree is missing.
inline std::filesystem::path goHome() {
  namespace fs = std::filesystem;
  const fs::path memories = memoriesTemplate();
  if (memories.empty()) return {};
  const fs::path home = gohome::cacheDirectory() / "home";
  const fs::path done = gohome::cacheDirectory() / "home.done";
  if (fs::exists(done)) return home;
  fs::remove_all(home);
  const fs::path database = home / ".local/share/Nodrel/nodrel.db";
  fs::create_directories(database.parent_path());
  fs::copy_file(memories, database);
  {
    auto db = db::Connection::open(database);
    codeintel::CodeIngestionService service(db);
    const auto result = service.writeQueue().sync([&] { return service.ingest(goProject()); });
    std::fprintf(stderr, "ingested %lld files, %lld symbols, %lld edges\n",
                 static_cast<long long>(result.filesDiscovered),
                 static_cast<long long>(result.symbolsExtracted),
                 static_cast<long long>(result.edgesCreated));
    db.run(
        "INSERT INTO projects (id, name, path, created_at) VALUES ('BENCH-GO', 'src', ?, "
        "'2026-01-01T00:00:00.000+0000')",
        {db::text(goProject())});
    db.exec("PRAGMA wal_checkpoint(TRUNCATE);");
  }
  std::ofstream(done) << "ok\n";
  return home;
}

inline std::filesystem::path goHomeDatabase() {
  const auto home = goHome();
  return home.empty() ? home : home / ".local/share/Nodrel/nodrel.db";
}

}  // namespace nodrel::bench
