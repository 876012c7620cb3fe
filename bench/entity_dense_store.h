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
#include "bench/simulated_history.h"
#include "db/connection.h"
#include "db/schema.h"
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
  auto db = db::Connection::open(file, {.create = true});
  db::createSchema(db);
  db.exec("PRAGMA synchronous = OFF;");
  std::mt19937 rng(20261211);
  const std::array<const char*, 2> speakers = {"Maria", "David"};
  const std::array<const char*, 4> recurring = {"Ask Sarah about it.", "James reviewed this.",
                                                "Kubernetes runs it.", "Grafana shows it."};
  const auto& projects = goStoreProjects();
  std::unordered_set<std::string> bodies;
  std::vector<bool> startsSession;
  db.exec("BEGIN");
  for (int written = 0; written < count;) {
    const GoCommentFile& first = corpus[rng() % corpus.size()];
    const std::string project =
        shape.halfInOneProject && rng() % 2 == 0
            ? projects.front()
            : goStoreProjectFor(fs::path(first.path).parent_path().string());
    const int sessionLength = 3 + static_cast<int>(rng() % 38);
    for (int inSession = 0, attempts = 0;
         inSession < sessionLength && written < count && attempts < 4 * sessionLength; ++attempts) {
      const GoCommentFile& source = first;
      const std::size_t offset = rng() % source.sentences.size();
      const std::size_t want = 1 + rng() % 3;
      std::string body;
      for (std::size_t i = offset; i < source.sentences.size() && i < offset + want; ++i) {
        if (!body.empty()) body += ' ';
        body += source.sentences[i];
      }
      if (shape.names == NameShape::TwoSpeakers) {
        body = std::string(speakers[rng() % 2]) + ": " + body;
      } else if (rng() % 10 < 3) {
        body += std::string(" ") + recurring[rng() % recurring.size()];
      }
      if (!bodies.insert(body).second) continue;
      store::MemoryWrite write;
      write.body = body;
      write.project = project;
      store::writeMemory(db, write);
      startsSession.push_back(inSession == 0);
      ++inSession;
      ++written;
      if (written % 500 == 0) {
        db.exec("COMMIT");
        db.exec("BEGIN");
      }
    }
  }
  db.exec("COMMIT");
  spreadOverTime(db, rng, &startsSession);
}

// The shaped store of `count` memories, built on first use.
inline GoStore shapedStore(int count, const StoreShape& shape) {
  const fs::path home =
      goStoreHome(count).parent_path() /
      (shape.label() + "-v" + std::to_string(kShapedStoreVersion) + "-" + std::to_string(count));
  const fs::path data = home / ".local/share/Nodrel";
  GoStore store{home, data / "nodrel.db"};
  const fs::path done = data / "built";
  if (!fs::exists(done)) {
    fs::remove_all(home);
    fs::create_directories(data);
    std::fprintf(stderr, "building a %s store of %d memories ...\n", shape.label().c_str(), count);
    const auto started = std::chrono::steady_clock::now();
    buildShapedStore(store.database, count, shape);
    std::ofstream(done)
        << std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count()
        << "\n";
  }
  return store;
}

}  // namespace nodrel::bench
