// The SessionStart hook's cost: the real `nodrel context` process, start to exit, on stores of
// 10,000 and 100,000 memories of real English (bench/go_comment_store.h) over six registered
// projects with corrections, standing instructions and a memory index, for a project directory
// and a directory below one, and on the same stores with half of the memories in the project
// (bench/half_project_store.h). `nodrel --version` is the floor: starting the program at all.
// Counters: median_ms and p95_ms. NODREL_BENCH_SIZES narrows a run.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/go_comment_store.h"
#include "bench/half_project_store.h"
#include "bench/iteration_times.h"

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

void BM_Nodrel(benchmark::State& state, const std::string& home, std::vector<std::string> args) {
  ::setenv("HOME", home.c_str(), 1);
  bench::timeIterations(state, [&] { runNodrel(args); });
}

}  // namespace

int main(int argc, char** argv) {
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("XDG_CONFIG_HOME");
  const auto& projects = bench::goStoreProjects();
  for (int count : bench::benchStoreSizes({10000, 100000})) {
    const std::string home = bench::goStore(count).home.string();
    const std::string n = std::to_string(count);
    benchmark::RegisterBenchmark(("version/" + n).c_str(), BM_Nodrel, home,
                                 std::vector<std::string>{"--version"})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(50);
    benchmark::RegisterBenchmark(("context/project/" + n).c_str(), BM_Nodrel, home,
                                 std::vector<std::string>{"context", "--cwd", projects[0]})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(50);
    benchmark::RegisterBenchmark(
        ("context/below-project/" + n).c_str(), BM_Nodrel, home,
        std::vector<std::string>{"context", "--cwd", projects[1] + "/src/ui"})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(50);
    // A heavy user's main project, holding half of the store.
    benchmark::RegisterBenchmark(
        ("context/half-project/" + n).c_str(), BM_Nodrel,
        bench::halfProjectStore(count).home.string(),
        std::vector<std::string>{"context", "--cwd", bench::halfStoreMainProject()})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(50);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
