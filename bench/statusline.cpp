// Wall time of one real `nodrel statusline` run, as the assistant starts it on every prompt:
// a new process, the host's JSON payload on standard input, stores of 10,000 and 100,000
// memories of real English (bench/go_comment_store.h), and a working directory two levels below
// a registered project or in none. /bin/true is the floor. Counters: median_ms and p95_ms.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/go_comment_store.h"
#include "bench/iteration_times.h"

extern char** environ;

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

struct Run {
  int status = -1;
  std::string out;
};

Run runStatusline(const std::string& payload) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) std::abort();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  for (int fd : {in[0], in[1], out[0], out[1]}) posix_spawn_file_actions_addclose(&actions, fd);
  const std::string program = std::string(NODREL_BINARY_DIR) + "/cli/nodrel";
  char arg0[] = "nodrel";
  char arg1[] = "statusline";
  char* argv[] = {arg0, arg1, nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) std::abort();
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (::write(in[1], payload.data(), payload.size()) < 0) std::abort();
  ::close(in[1]);
  Run run;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) run.out.append(buffer, n);
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

void BM_Statusline(benchmark::State& state, const std::string& home, const std::string& cwd,
                   const std::string& want) {
  setenv("HOME", home.c_str(), 1);
  const std::string payload = nlohmann::json{
      {"session_id", "s"},
      {"workspace", {{"current_dir", cwd}}},
      {"cwd", cwd},
      {"model", {{"id", "m"}}}}.dump();
  const Run check = runStatusline(payload);
  if (check.status != 0 || check.out.find(want) == std::string::npos) {
    state.SkipWithError(("unexpected output: " + check.out).c_str());
    return;
  }
  bench::timeIterations(state, [&] { benchmark::DoNotOptimize(runStatusline(payload)); });
  std::printf("statusline output: %s", check.out.c_str());
}

// The floor: starting a process that does nothing.
void BM_True(benchmark::State& state) {
  bench::timeIterations(state, [] {
    pid_t pid = 0;
    char arg0[] = "true";
    char* argv[] = {arg0, nullptr};
    if (posix_spawn(&pid, "/bin/true", nullptr, nullptr, argv, environ) != 0) std::abort();
    int status = 0;
    ::waitpid(pid, &status, 0);
  });
}

}  // namespace

int main(int argc, char** argv) {
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  benchmark::RegisterBenchmark("true", BM_True)->Iterations(200)->Unit(benchmark::kMillisecond);
  const std::string project = bench::goStoreProjects()[2];
  const std::string name = std::filesystem::path(project).filename().string();
  for (int count : bench::benchStoreSizes({10000, 100000})) {
    const std::string home = bench::goStore(count).home.string();
    benchmark::RegisterBenchmark(("statusline/registered/" + std::to_string(count)).c_str(),
                                 BM_Statusline, home, project + "/src/app", name)
        ->Iterations(200)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("statusline/unregistered/" + std::to_string(count)).c_str(),
                                 BM_Statusline, home, std::string("/tmp/elsewhere/a/b"),
                                 std::string("no project match"))
        ->Iterations(200)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
