// bench/ingestion.cpp: whole ingestion runs on real source trees, against Universal Ctags over
// the same tree in the same run (the floor); a second run with nothing changed; both again for
// Go with the 10,000 memories of bench/go_home.h in the store ("go+10k"), since every run links
// memories to the files they name; peak resident memory of a first run (in a child process of
// its own). Trees (each skipped when missing):
//   Go          NODREL_BENCH_GO_DIR          default /usr/share/go-1.19/src     (golang-1.19-src)
//   Rust        NODREL_BENCH_RUST_DIR        default /usr/src/rustc-*/library   (rust-src)
//   TypeScript  NODREL_BENCH_TYPESCRIPT_DIR  default /tmp/ts-bench/package      (npm pack
//   typescript)
// Targets: first run at most 1x ctags, second run at most 0.1x the first, peak RSS 300 MB.
// Figures are medians and 95th percentiles of NODREL_BENCH_RUNS runs each (default 5).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bench/go_home.h"
#include "bench/server_process.h"
#include "codeintel/code_ingestion_service.h"
#include "db/connection.h"
#include "db/schema.h"

namespace {

namespace fs = std::filesystem;
using nodrel::codeintel::CodeIngestionService;
using nodrel::codeintel::IngestionResult;

struct Tree {
  std::string name;
  fs::path root;
  fs::path store;  // a database to start from, copied for each run; none: an empty one
};

std::map<std::string, std::vector<double>> firstTimes, secondTimes, ctagsTimes;
std::map<std::string, IngestionResult> lastResults;
std::map<std::string, long> peakKilobytes;

int runs() {
  const char* value = std::getenv("NODREL_BENCH_RUNS");
  const int n = value ? std::atoi(value) : 0;
  return n > 0 ? n : 5;
}

fs::path fromEnv(const char* variable, const fs::path& fallback) {
  if (const char* value = std::getenv(variable); value && *value) return value;
  return fallback;
}

fs::path rustLibrary() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/usr/src", ec)) {
    const auto name = entry.path().filename().string();
    if (name.starts_with("rustc-") && fs::exists(entry.path() / "library")) {
      return entry.path() / "library";
    }
  }
  return "/usr/src/rustc/library";
}

const std::vector<Tree>& trees() {
  static const std::vector<Tree> all = [] {
    std::vector<Tree> out;
    std::error_code ec;
    for (Tree t :
         {Tree{"go", fromEnv("NODREL_BENCH_GO_DIR", "/usr/share/go-1.19/src"), {}},
          Tree{"rust", fromEnv("NODREL_BENCH_RUST_DIR", rustLibrary()), {}},
          Tree{
              "typescript", fromEnv("NODREL_BENCH_TYPESCRIPT_DIR", "/tmp/ts-bench/package"), {}}}) {
      if (fs::is_directory(t.root, ec)) out.push_back(t);
    }
    if (const auto memories = nodrel::bench::memoriesTemplate(); !memories.empty()) {
      out.push_back(Tree{"go+10k", nodrel::bench::goSourceTree(), memories});
    }
    return out;
  }();
  return all;
}

// A database file in a fresh directory, a copy of `store` or an empty one with the schema,
// removed with its WAL when the object goes.
class ScratchDatabase {
 public:
  explicit ScratchDatabase(const fs::path& store = {}) {
    char pattern[] = "/tmp/nodrel-bench-XXXXXX";
    dir_ = mkdtemp(pattern);
    if (!store.empty()) fs::copy_file(store, dir_ / "nodrel.db");
    connection_.emplace(nodrel::db::Connection::open(dir_ / "nodrel.db", {.create = true}));
    nodrel::db::createSchema(*connection_);
  }
  ~ScratchDatabase() {
    connection_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  nodrel::db::Connection& db() { return *connection_; }

 private:
  fs::path dir_;
  std::optional<nodrel::db::Connection> connection_;
};

IngestionResult ingestOnce(nodrel::db::Connection& db, const fs::path& root) {
  CodeIngestionService service(db);
  return service.writeQueue().sync([&] { return service.ingest(root.string()); });
}

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void firstIngestion(benchmark::State& state, Tree tree) {
  for (auto _ : state) {
    ScratchDatabase scratch(tree.store);
    const auto start = std::chrono::steady_clock::now();
    lastResults[tree.name] = ingestOnce(scratch.db(), tree.root);
    const double seconds = secondsSince(start);
    state.SetIterationTime(seconds);
    firstTimes[tree.name].push_back(seconds);
  }
  const auto& r = lastResults[tree.name];
  state.counters["files"] = static_cast<double>(r.filesDiscovered);
  state.counters["symbols"] = static_cast<double>(r.symbolsExtracted);
  state.counters["edges"] = static_cast<double>(r.edgesCreated);
  state.counters["errors"] = static_cast<double>(r.errors.size());
}

void secondIngestion(benchmark::State& state, Tree tree) {
  ScratchDatabase scratch(tree.store);
  ingestOnce(scratch.db(), tree.root);
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    auto result = ingestOnce(scratch.db(), tree.root);
    const double seconds = secondsSince(start);
    state.SetIterationTime(seconds);
    secondTimes[tree.name].push_back(seconds);
    if (result.filesParsed != 0) state.SkipWithError("a file was parsed again");
  }
}

bool runCtags(const fs::path& root) {
  const pid_t child = fork();
  if (child == 0) {
    if (const int devNull = open("/dev/null", O_WRONLY); devNull >= 0) dup2(devNull, STDERR_FILENO);
    execlp("ctags", "ctags", "-R", "-f", "/dev/null",
           "--languages=Go,Rust,TypeScript,JavaScript,Python,Kotlin,HTML,CSS", root.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return false;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void universalCtags(benchmark::State& state, Tree tree) {
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!runCtags(tree.root)) {
      state.SkipWithError("ctags failed (is universal-ctags installed?)");
      return;
    }
    const double seconds = secondsSince(start);
    state.SetIterationTime(seconds);
    ctagsTimes[tree.name].push_back(seconds);
  }
}

// Runs this program again as "--peak-rss-child <root>" so the figure is that of one first
// ingestion in a process of its own.
void measurePeakMemory(const Tree& tree) {
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "bench_ingestion", "--peak-rss-child", tree.root.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return;
  int status = 0;
  struct rusage usage {};
  if (wait4(child, &status, 0, &usage) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
    peakKilobytes[tree.name] = usage.ru_maxrss;
  }
}

void printSummary() {
  using nodrel::bench::percentile;
  std::printf("\n%-11s %6s %15s %15s %7s %15s %8s %7s %8s\n", "tree", "files", "first med/p95",
              "ctags med/p95", "1st/ctg", "second med/p95", "2nd/1st", "errors", "peak MB");
  for (const auto& tree : trees()) {
    const auto& first = firstTimes[tree.name];
    const auto& second = secondTimes[tree.name];
    // The floor of a run with memories is that of the same tree.
    const auto& ctags = ctagsTimes[tree.store.empty() ? tree.name : "go"];
    const double f = percentile(first, 0.5), c = percentile(ctags, 0.5);
    const double s = percentile(second, 0.5);
    const auto& r = lastResults[tree.name];
    std::printf("%-11s %6lld %7.3f/%7.3f %7.3f/%7.3f %6.2fx %7.3f/%7.3f %7.3fx %7zu %8.1f\n",
                tree.name.c_str(), static_cast<long long>(r.filesDiscovered), f,
                percentile(first, 0.95), c, percentile(ctags, 0.95), c > 0 ? f / c : 0.0, s,
                percentile(second, 0.95), f > 0 ? s / f : 0.0, r.errors.size(),
                static_cast<double>(peakKilobytes[tree.name]) / 1024.0);
  }
  for (const auto& tree : trees()) {
    for (const auto& error : lastResults[tree.name].errors) {
      std::printf("%s error: %s\n", tree.name.c_str(), error.c_str());
    }
  }
  std::printf(
      "seconds; 1st/ctg = first ingestion / ctags -R over the same tree (target at most "
      "1.00x); 2nd/1st target at most 0.10x; peak target at most 300 MB\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--peak-rss-child") == 0) {
    ScratchDatabase scratch;
    ingestOnce(scratch.db(), argv[2]);
    return 0;
  }
  benchmark::Initialize(&argc, argv);
  for (const auto& tree : trees()) {
    benchmark::RegisterBenchmark(("ingest_first/" + tree.name).c_str(), firstIngestion, tree)
        ->Iterations(runs())
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    if (tree.store.empty()) {
      benchmark::RegisterBenchmark(("ctags/" + tree.name).c_str(), universalCtags, tree)
          ->Iterations(runs())
          ->UseManualTime()
          ->Unit(benchmark::kMillisecond);
    }
    benchmark::RegisterBenchmark(("ingest_second/" + tree.name).c_str(), secondIngestion, tree)
        ->Iterations(runs())
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const auto& tree : trees()) {
    if (tree.store.empty()) measurePeakMemory(tree);
  }
  printSummary();
  return 0;
}
