// The SessionStart hook's cost: the real `nodrel context` process, start to exit, on stores of
// 10,000 and 100,000 memories of real English (bench/go_comment_store.h) over six registered
// projects with corrections, standing instructions and a memory index, for a project directory
// and a directory below one, and on the same stores with half of the memories in the project
// (bench/half_project_store.h). `nodrel --version` times starting the program at all; each
// run's floor adds the statements no recall of its directory can skip (bench/recall_floor.h).
// Counters: median_ms and p95_ms; each context run is printed at the end against its target
// (at most 20 ms at 10,000 memories, 100 ms at 100,000). NODREL_BENCH_SIZES narrows a run.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/go_comment_store.h"
#include "bench/half_project_store.h"
#include "bench/iteration_times.h"
#include "bench/recall_floor.h"
#include "db/connection.h"

extern char** environ;

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

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

std::map<std::string, double> gMedians;  // benchmark name -> median ms

void BM_Nodrel(benchmark::State& state, const std::string& name, const std::string& home,
               std::vector<std::string> args) {
  ::setenv("HOME", home.c_str(), 1);
  gMedians[name] = bench::timeIterations(state, [&] { runNodrel(args); });
}

void add(const std::string& name, const std::string& home, std::vector<std::string> args) {
  benchmark::RegisterBenchmark(name.c_str(), BM_Nodrel, name, home, std::move(args))
      ->Unit(benchmark::kMillisecond)
      ->Iterations(50);
}

// The floor of a context run: starting the program at all, then what no recall of the
// directory can skip, opened as the command opens the store (bench/recall_floor.h).
void BM_Floor(benchmark::State& state, const std::string& name, const std::string& home,
              const std::string& cwd) {
  ::setenv("HOME", home.c_str(), 1);
  const fs::path database = fs::path(home) / ".local/share/Nodrel/nodrel.db";
  gMedians[name] = bench::timeIterations(state, [&] {
    runNodrel({"--version"});
    auto db = db::Connection::open(database, {.readOnly = true});
    benchmark::DoNotOptimize(bench::recallFloorOnce(db, cwd, cwd));
  });
}

// A context run, and its floor under the name "floor/..." in its place.
void addWithFloor(const std::string& name, const std::string& home, const std::string& cwd) {
  add("context/" + name, home, {"context", "--cwd", cwd});
  benchmark::RegisterBenchmark(("floor/" + name).c_str(), BM_Floor, "floor/" + name, home, cwd)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(50);
}

}  // namespace

int main(int argc, char** argv) {
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  const auto& projects = bench::goStoreProjects();
  for (int count : bench::benchStoreSizes({10000, 100000})) {
    const std::string home = bench::goStore(count).home.string();
    const std::string n = std::to_string(count);
    add("version/" + n, home, {"--version"});
    addWithFloor("project/" + n, home, projects[0]);
    addWithFloor("below-project/" + n, home, projects[1] + "/src/ui");
    // A heavy user's main project, holding half of the store.
    addWithFloor("half-project/" + n, bench::halfProjectStore(count).home.string(),
                 bench::halfStoreMainProject());
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  // Against the targets: at most 20 ms at 10,000 memories and 100 ms at 100,000; the floor is
  // starting the program, the full-text statement and one read of every vector (BM_Floor).
  std::printf("%-34s %10s %10s %7s %10s %s\n", "run", "median_ms", "floor_ms", "ratio", "target_ms",
              "verdict");
  for (const auto& [name, median] : gMedians) {
    if (name.rfind("context/", 0) != 0) continue;
    const std::string size = name.substr(name.rfind('/') + 1);
    const auto floor = gMedians.find("floor/" + name.substr(8));
    const double floorMs = floor == gMedians.end() ? 0 : floor->second;
    const double target = size == "10000" ? 20 : size == "100000" ? 100 : 0;
    const std::string targetText = target > 0 ? "<= " + std::to_string(int(target)) : "-";
    std::printf("%-34s %10.2f %10.2f %7.2f %10s %s\n", name.c_str(), median, floorMs,
                floorMs > 0 ? median / floorMs : 0, targetText.c_str(),
                target == 0        ? "-"
                : median <= target ? "met"
                                   : "over");
  }
  return 0;
}
