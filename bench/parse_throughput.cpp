// bench/parse_throughput.cpp: source-parser throughput on real source trees, against Universal
// Ctags over the same files in the same run. Corpora (each skipped when missing):
//   Go      NODREL_BENCH_GO_DIR          default /usr/share/go-1.19/src        (golang-1.19-src)
//   Rust    NODREL_BENCH_RUST_DIR        default /usr/src/rustc-*/library      (rust-src)
//   Python  NODREL_BENCH_PYTHON_DIR      default /usr/lib/python3.11 (libpython3.11-stdlib) TS/JS
//   NODREL_BENCH_TYPESCRIPT_DIR  default /tmp/ts-bench/package         (npm pack typescript)
// Both sides read the files from disk on every iteration; ctags writes its tags to /dev/null.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "codeintel/source_parser.h"

namespace {

namespace fs = std::filesystem;
using nodrel::codeintel::parseSourceFile;

struct Corpus {
  std::string name;
  std::string ctagsLanguages;
  std::vector<std::pair<fs::path, std::string>> files;  // path, our language name
  std::uintmax_t bytes = 0;
  fs::path listFile;
};

struct Totals {
  double seconds = 0;
  std::int64_t iterations = 0;
};
std::map<std::string, Totals> ourTimes, ctagsTimes;

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

fs::path corpusRoot(const char* variable, const fs::path& fallback) {
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

Corpus gather(std::string name, std::string ctagsLanguages, const fs::path& root,
              const std::map<std::string, std::string>& languageByExtension) {
  Corpus corpus{std::move(name), std::move(ctagsLanguages), {}, 0, {}};
  std::error_code ec;
  if (!fs::is_directory(root, ec)) return corpus;
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    auto found = languageByExtension.find(it->path().extension().string());
    if (found == languageByExtension.end()) continue;
    corpus.files.emplace_back(it->path(), found->second);
    corpus.bytes += it->file_size(ec);
  }
  corpus.listFile = fs::temp_directory_path() / ("nodrel-bench-" + corpus.name + ".list");
  std::ofstream list(corpus.listFile);
  for (const auto& [path, language] : corpus.files) list << path.string() << "\n";
  return corpus;
}

std::vector<Corpus>& corpora() {
  static std::vector<Corpus> all = [] {
    std::vector<Corpus> out;
    out.push_back(gather("go", "Go", corpusRoot("NODREL_BENCH_GO_DIR", "/usr/share/go-1.19/src"),
                         {{".go", "go"}}));
    out.push_back(gather("rust", "Rust", corpusRoot("NODREL_BENCH_RUST_DIR", rustLibrary()),
                         {{".rs", "rust"}}));
    out.push_back(gather("python", "Python",
                         corpusRoot("NODREL_BENCH_PYTHON_DIR", "/usr/lib/python3.11"),
                         {{".py", "python"}}));
    out.push_back(gather("typescript", "TypeScript,JavaScript",
                         corpusRoot("NODREL_BENCH_TYPESCRIPT_DIR", "/tmp/ts-bench/package"),
                         {{".ts", "typescript"}, {".js", "javascript"}}));
    return out;
  }();
  return all;
}

void setCounters(benchmark::State& state, const Corpus& corpus) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(corpus.bytes));
  state.counters["files/s"] = benchmark::Counter(
      static_cast<double>(corpus.files.size()) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
  state.counters["files"] = static_cast<double>(corpus.files.size());
}

void ourParsers(benchmark::State& state, std::size_t index) {
  const Corpus& corpus = corpora()[index];
  if (corpus.files.empty()) {
    state.SkipWithError(("no " + corpus.name + " sources found").c_str());
    return;
  }
  std::int64_t symbols = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    for (const auto& [path, language] : corpus.files) {
      const auto parsed = parseSourceFile(readAll(path), language);
      symbols +=
          static_cast<std::int64_t>(parsed.typeDeclarations.size() + parsed.functions.size());
    }
    ourTimes[corpus.name].seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++ourTimes[corpus.name].iterations;
  }
  benchmark::DoNotOptimize(symbols);
  state.counters["symbols"] =
      static_cast<double>(symbols) / static_cast<double>(state.iterations());
  setCounters(state, corpus);
}

bool runCtags(const Corpus& corpus) {
  const pid_t child = fork();
  if (child == 0) {
    // ctags warns about every odd tag it skips; the figures are what this run is for.
    if (const int devNull = open("/dev/null", O_WRONLY); devNull >= 0) dup2(devNull, STDERR_FILENO);
    const std::string languages = "--languages=" + corpus.ctagsLanguages;
    const std::string list = corpus.listFile.string();
    execlp("ctags", "ctags", "-R", "-f", "/dev/null", languages.c_str(), "-L", list.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  if (child < 0) return false;
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void universalCtags(benchmark::State& state, std::size_t index) {
  const Corpus& corpus = corpora()[index];
  if (corpus.files.empty()) {
    state.SkipWithError(("no " + corpus.name + " sources found").c_str());
    return;
  }
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    if (!runCtags(corpus)) {
      state.SkipWithError("ctags failed (is universal-ctags installed?)");
      return;
    }
    ctagsTimes[corpus.name].seconds +=
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ++ctagsTimes[corpus.name].iterations;
  }
  setCounters(state, corpus);
}

void printRatios() {
  std::printf("\n%-11s %6s %7s %10s %10s %9s %10s %10s %9s %7s\n", "corpus", "files", "MB",
              "ours (s)", "files/s", "MB/s", "ctags (s)", "files/s", "MB/s", "ratio");
  for (const auto& corpus : corpora()) {
    const auto ours = ourTimes.find(corpus.name);
    const auto theirs = ctagsTimes.find(corpus.name);
    if (ours == ourTimes.end() || theirs == ctagsTimes.end()) continue;
    const double files = static_cast<double>(corpus.files.size());
    const double megabytes = static_cast<double>(corpus.bytes) / 1e6;
    const double oursPer = ours->second.seconds / static_cast<double>(ours->second.iterations);
    const double theirsPer =
        theirs->second.seconds / static_cast<double>(theirs->second.iterations);
    std::printf("%-11s %6.0f %7.1f %10.3f %10.0f %9.1f %10.3f %10.0f %9.1f %6.2fx\n",
                corpus.name.c_str(), files, megabytes, oursPer, files / oursPer,
                megabytes / oursPer, theirsPer, files / theirsPer, megabytes / theirsPer,
                oursPer / theirsPer);
  }
  std::printf("ratio = our parse time / ctags time over the same files (target: at most 2.00x)\n");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (std::size_t i = 0; i < corpora().size(); ++i) {
    const std::string name = corpora()[i].name;
    benchmark::RegisterBenchmark(("parse/" + name).c_str(), ourParsers, i)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("ctags/" + name).c_str(), universalCtags, i)
        ->Iterations(3)
        ->UseRealTime()
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  printRatios();
  for (const auto& corpus : corpora()) {
    std::error_code ec;
    fs::remove(corpus.listFile, ec);
  }
  return 0;
}
