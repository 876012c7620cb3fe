// Stores of the Go-comment prose shaped as a heavy user's: names that recur (every memory
// begins with one of two speakers' names, as a long conversation's turns do; or a few names in
// 30 % of the notes, as in coding notes), and optionally half of all memories in one project.
// Written through writeMemory, given a history of sessions, and cached beside the Go stores in
// <build>/bench-cache/<shape>-v<version>-<count>/.
#pragma once

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "bench/go_comment_store.h"
#include "bench/store_builder.h"
#include "db/connection.h"
#include "store/write_path.h"

namespace nodrel::bench {

constexpr int kShapedStoreVersion = 2;

enum class NameShape {
  TwoSpeakers,     // "Maria: ..." or "David: ..." before every body
  RecurringNames,  // one of four names in 30 % of the bodies
};

struct StoreShape {
  NameShape names = NameShape::RecurringNames;
  bool halfInOneProject = false;  // half of the sessions in the first project
  std::string label() const {
    return std::string(names == NameShape::TwoSpeakers ? "speakers" : "recurring") +
           (halfInOneProject ? "-half" : "");
  }
};

inline void buildShapedStore(const fs::path& file, int count, const StoreShape& shape) {
  const std::vector<GoCommentFile> corpus = readGoComments();
  auto db = openStoreToBuild(file);
  std::mt19937 rng(20261211);
  const std::array<const char*, 2> speakers = {"Maria", "David"};
  const std::array<const char*, 4> recurring = {"Ask Sarah about it.", "James reviewed this.",
                                                "Kubernetes runs it.", "Grafana shows it."};
  const auto& projects = goStoreProjects();
  const GoCommentFile* source = nullptr;
  writeInSessions(
      db, rng, count,
      [&] {
        source = &corpus[rng() % corpus.size()];
        return shape.halfInOneProject && rng() % 2 == 0
                   ? projects.front()
                   : goStoreProjectFor(fs::path(source->path).parent_path().string());
      },
      [&] {
        const std::size_t offset = rng() % source->sentences.size();
        const std::size_t want = 1 + rng() % 3;
        std::string body;
        for (std::size_t i = offset; i < source->sentences.size() && i < offset + want; ++i) {
          if (!body.empty()) body += ' ';
          body += source->sentences[i];
        }
        if (shape.names == NameShape::TwoSpeakers) {
          body = std::string(speakers[rng() % 2]) + ": " + body;
        } else if (rng() % 10 < 3) {
          body += std::string(" ") + recurring[rng() % recurring.size()];
        }
        return body;
      },
      [](store::MemoryWrite&) {});
}

// The shaped store of `count` memories, built on first use.
inline GoStore shapedStore(int count, const StoreShape& shape) {
  const fs::path home =
      goStoreHome(count).parent_path() /
      (shape.label() + "-v" + std::to_string(kShapedStoreVersion) + "-" + std::to_string(count));
  return storeBuiltOnce(home, [&](const fs::path& database) {
    std::fprintf(stderr, "building a %s store of %d memories ...\n", shape.label().c_str(), count);
    buildShapedStore(database, count, shape);
  });
}

}  // namespace nodrel::bench
