// Wall time of one real `nodrel statusline` run, as the assistant starts it on every prompt:
// a new process, the host's JSON payload on standard input, a store of 10,000 memories over 20
// projects, and a working directory two levels below the matched project. Counter: median_ms.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/schema.h"

extern char** environ;

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

constexpr int kMemories = 10'000;
constexpr int kProjects = 20;

fs::path makeStore() {
  const fs::path home = fs::temp_directory_path() / ("nodrel-bench-statusline-" +
                                                     std::to_string(::getpid()));
  fs::remove_all(home);
  const fs::path data = home / ".local/share/Nodrel";
  fs::create_directories(data);
  auto db = db::Connection::open(data / "nodrel.db", {.create = true});
  db::createSchema(db);
  db.exec("BEGIN");
  for (int p = 0; p < kProjects; ++p) {
    const std::string path = "/Users/dev/project-" + std::to_string(p);
    const std::string number = std::to_string(p);
    db.run("INSERT INTO projects (id, name, path) VALUES (?, ?, ?)",
           {db::text(number), db::text(path.substr(path.rfind('/') + 1)), db::text(path)});
  }
  std::mt19937 random(7);
  const char* tiers[] = {"episodic", "semantic", "procedural", "cold"};
  for (int i = 0; i < kMemories; ++i) {
    const std::string project = "/Users/dev/project-" + std::to_string(random() % kProjects);
    db.run(
        "INSERT INTO memories (id, tier, body, project, created_at, last_accessed) "
        "VALUES (?, ?, ?, ?, '2026-01-01T00:00:00.000+0000', '2026-01-01T00:00:00.000+0000')",
        {db::text(std::to_string(i)), db::text(tiers[random() % 4]),
         db::text("Memory body " + std::to_string(i) + ": keep the retry delay jittered."),
         db::text(project)});
  }
  db.exec("COMMIT");
  return home;
}

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

void BM_Statusline(benchmark::State& state) {
  const fs::path home = makeStore();
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  const std::string payload =
      R"({"session_id": "s", "workspace": {"current_dir": "/Users/dev/project-3/src/app"},)"
      R"( "cwd": "/Users/dev/project-3/src/app", "model": {"id": "m"}})";
  const Run check = runStatusline(payload);
  if (check.status != 0 || check.out.find("project-3") == std::string::npos) {
    state.SkipWithError(("unexpected output: " + check.out).c_str());
    return;
  }
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(runStatusline(payload));
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_ms"] = samples[samples.size() / 2];
  std::printf("statusline output: %s", check.out.c_str());
  fs::remove_all(home);
}
BENCHMARK(BM_Statusline)->Iterations(200)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
