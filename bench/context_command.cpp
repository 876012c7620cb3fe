// The SessionStart hook's cost: the real `nodrel context` process, start to exit, on a store of
// 10,000 memories over five registered projects with corrections, standing instructions and a
// memory index, for a project directory and a directory below one. `nodrel --version` is the
// floor: starting the program at all.
//
// The store is built once into <build>/bench-cache/context-home and reused; delete that folder
// after changing how memories are written. Counters: median_ms and p95_ms.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/schema.h"
#include "store/write_path.h"

extern char** environ;

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

constexpr int kStoreVersion = 1;
constexpr int kMemories = 10000;

const char* const kProjects[] = {"/Users/dev/payments", "/Users/dev/mobile-app",
                                 "/Users/dev/infra", "/Users/dev/search", "/Users/dev/docs-site"};
const char* const kSubjects[] = {"the login session", "the cache refresh", "the payment webhook",
                                 "the build pipeline", "the search index", "the retry queue",
                                 "the database migration", "the feature flag"};
const char* const kVerbs[] = {"expires", "fails", "times out", "breaks", "drops requests",
                              "returns stale data", "crashes", "slows down"};
const char* const kFixes[] = {"Always take the lock before reading the token.",
                              "Prefer the batch endpoint for this.",
                              "Never call it from the main thread.",
                              "Add a jitter to the retry delay.",
                              "Pin the dependency to the last good version."};

fs::path homeDirectory() { return fs::path(NODREL_BINARY_DIR) / "bench-cache" / "context-home"; }

void buildStore() {
  const fs::path home = homeDirectory();
  const fs::path data = home / ".local/share/Nodrel";
  const fs::path file = data / "nodrel.db";
  const fs::path done = data / ("built-v" + std::to_string(kStoreVersion));
  if (fs::exists(done)) return;
  fs::remove_all(home);
  fs::create_directories(data);
  std::fprintf(stderr, "building a store of %d memories in %s ...\n", kMemories, file.c_str());
  auto db = db::Connection::open(file, {.create = true});
  db::createSchema(db);
  db.exec("PRAGMA synchronous = OFF;");
  std::mt19937 rng(20261211);
  auto pick = [&](const auto& list) { return std::string(list[rng() % std::size(list)]); };
  db.exec("BEGIN");
  for (int i = 0; i < kMemories; ++i) {
    store::MemoryWrite write;
    write.body = "Observed that " + pick(kSubjects) + " " + pick(kVerbs) + ". " + pick(kFixes) +
                 " (note " + std::to_string(i) + ")";
    write.project = kProjects[rng() % std::size(kProjects)];
    write.type = store::MemoryType::Observation;
    write.importance = 1 + static_cast<int>(rng() % 10);
    store::writeMemory(db, write);
    if (i % 500 == 499) {
      db.exec("COMMIT");
      db.exec("BEGIN");
    }
  }
  for (std::size_t p = 0; p < std::size(kProjects); ++p) {
    const std::string id = "P" + std::to_string(p);
    db.run("INSERT INTO projects (id, name, path, last_active_at) VALUES (?, ?, ?, ?)",
           {db::text(id), db::text(fs::path(kProjects[p]).filename().string()),
            db::text(kProjects[p]), db::text("2026-01-0" + std::to_string(p + 1) + "T00:00:00.000+0000")});
    for (int c = 0; c < 20; ++c) {
      db.run("INSERT INTO corrections (id, project_id, content) VALUES (?, ?, 'x')",
             {db::text(id + "-C" + std::to_string(c)), db::text(id)});
    }
    db.run("INSERT INTO standing_instructions (id, content, scope_type, project_id, active) "
           "VALUES (?, 'y', 'project', ?, 1)",
           {db::text(id + "-S"), db::text(id)});
  }
  db.exec("INSERT INTO memory_index (memory_id, depth, traversal_cost_tokens, is_top_level) "
          "SELECT id, 0, body_tokens * 3, 1 FROM memories ORDER BY created_at LIMIT 40");
  db.exec("COMMIT");
  std::ofstream(done) << "ok\n";
}

// One run of the program to its exit, its output read and dropped.
void runNodrel(const std::vector<std::string>& args) {
  std::vector<std::string> all = {"nodrel"};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int out[2];
  if (::pipe(out) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string program = std::string(NODREL_BINARY_DIR) + "/cli/nodrel";
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    std::abort();
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  char buffer[65536];
  while (::read(out[0], buffer, sizeof buffer) > 0) {
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "nodrel exited abnormally\n");
    std::abort();
  }
}

void BM_Nodrel(benchmark::State& state, std::vector<std::string> args) {
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    runNodrel(args);
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_ms"] = samples[samples.size() / 2];
  state.counters["p95_ms"] = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
}

}  // namespace

int main(int argc, char** argv) {
  buildStore();
  ::setenv("HOME", homeDirectory().c_str(), 1);
  ::unsetenv("XDG_DATA_HOME");
  benchmark::RegisterBenchmark("version", BM_Nodrel, std::vector<std::string>{"--version"})
      ->Unit(benchmark::kMillisecond)->Iterations(50);
  benchmark::RegisterBenchmark("context/project", BM_Nodrel,
                               std::vector<std::string>{"context", "--cwd", kProjects[0]})
      ->Unit(benchmark::kMillisecond)->Iterations(50);
  benchmark::RegisterBenchmark(
      "context/below-project", BM_Nodrel,
      std::vector<std::string>{"context", "--cwd", std::string(kProjects[1]) + "/src/ui"})
      ->Unit(benchmark::kMillisecond)->Iterations(50);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
