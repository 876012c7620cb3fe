// nodrel_get_context round trips through the real NodrelMCP over a pipe, on a store of 10,000
// memories of one project whose sources (about 10,000 generated TypeScript files) are
// ingested. Target: median at most 30 ms. The memories are given the history of real use
// (bench/simulated_history.h), so their links are those of a store grown over months. The
// whole context and each of its sections are also timed in-process on the same store, to tell
// where a slow round trip spends its time.
//
// The same round trip and code sections on Go's standard library with the memories of
// bench/go_home.h ("go/..."), where the code summary of a real tree is read.
//
// The scratch HOME (database and generated sources) is built once into
// <build>/bench-cache/get-context-v<N> and reused; delete it after changing how it is built.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/go_home.h"
#include "bench/half_project_store.h"
#include "bench/iteration_times.h"
#include "bench/server_process.h"
#include "bench/simulated_history.h"
#include "codeintel/code_ingestion_service.h"
#include "codeintel/code_summary.h"
#include "db/connection.h"
#include "db/schema.h"
#include "server/projects.h"
#include "server/tools/context_assembly.h"
#include "server/tools/context_sections.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

constexpr int kStoreVersion = 5;
constexpr int kMemories = 10000;
constexpr int kDirectories = 100;
constexpr int kFilesPerDirectory = 100;

fs::path homeDirectory() {
  return fs::path(NODREL_BINARY_DIR) / "bench-cache" /
         ("get-context-v" + std::to_string(kStoreVersion));
}
fs::path projectDirectory() { return homeDirectory() / "shopfront"; }
fs::path databasePath() { return homeDirectory() / ".local/share/Nodrel/nodrel.db"; }

// Each file declares a contract and a class that extends a class of its own directory (a few
// of them used everywhere), implements a contract of another directory, and imports both, so
// files gain dependents unevenly as real code does.
// "m<directory>f<file>", appended piece by piece (GCC 12 misreads the "m" + ... chain).
std::string stem(int directory, int file) {
  std::string out("m");
  out += std::to_string(directory);
  out += 'f';
  out += std::to_string(file);
  return out;
}

void generateSources(std::mt19937& rng) {
  for (int d = 0; d < kDirectories; ++d) {
    const fs::path dir = projectDirectory() / "src" / ("module" + std::to_string(d));
    fs::create_directories(dir);
    for (int f = 0; f < kFilesPerDirectory; ++f) {
      const std::string name = stem(d, f);
      const int parent = static_cast<int>(rng() % 10);
      const int farDir = static_cast<int>(rng() % 10);
      const int farFile = static_cast<int>(rng() % 10);
      const std::string base = stem(d, parent);
      const std::string contract = stem(farDir, farFile);
      std::ofstream out(dir / (name + ".ts"));
      out << "import { " << base << "Service } from './" << base << "';\n"
          << "import { " << contract << "Contract } from '../module" << farDir << "/" << contract
          << "';\n\n"
          << "export interface " << name << "Contract {\n  handle(input: string): string;\n}\n\n"
          << "export class " << name << "Service";
      if (parent != f) out << " extends " << base << "Service";
      out << " implements " << contract << "Contract {\n"
          << "  handle(input: string): string {\n"
          << "    return input + '" << name << "';\n"
          << "  }\n}\n";
    }
  }
}

// Bodies of a realistic spread, as the write-path benchmark makes them: words from a
// vocabulary of thousands, so a memory links to a handful of others rather than to all (dense
// links would make every recall walk most of the link table). A quarter name the project,
// which the recall query is made of.
constexpr const char* kSyllables[] = {"ba",  "ko", "ri",  "tem", "lo",  "san", "vi",  "der", "mu",
                                      "pel", "ta", "gon", "fi",  "rak", "ne",  "sol", "du",  "mir"};
constexpr int kVocabulary = 3000;

std::string word(int n) {
  std::string w;
  for (int i = 0; i < 3; ++i) {
    w += kSyllables[n % std::size(kSyllables)];
    n /= static_cast<int>(std::size(kSyllables));
  }
  return w;
}

std::string memoryBody(std::mt19937& rng, int index) {
  std::uniform_int_distribution<int> pick(0, kVocabulary - 1), length(8, 24);
  std::string body = index % 4 == 0 ? "shopfront" : "";
  for (int i = length(rng); i > 0; --i) {
    if (!body.empty()) body += ' ';
    body += word(pick(rng));
  }
  return body + " (note " + std::to_string(index) + ")";
}

void buildHome() {
  const fs::path done = homeDirectory() / "done";
  if (fs::exists(done)) return;
  fs::remove_all(homeDirectory());
  fs::create_directories(databasePath().parent_path());
  std::mt19937 rng(20260117);

  std::fprintf(stderr, "generating %d source files ...\n", kDirectories * kFilesPerDirectory);
  generateSources(rng);

  auto db = db::Connection::open(databasePath(), {.create = true});
  db::createSchema(db);
  const auto started = std::chrono::steady_clock::now();
  codeintel::CodeIngestionService service(db);
  const auto result =
      service.writeQueue().sync([&] { return service.ingest(projectDirectory().string()); });
  std::fprintf(stderr, "ingested %lld files, %lld symbols, %lld edges in %.1f s\n",
               static_cast<long long>(result.filesParsed),
               static_cast<long long>(result.symbolsExtracted),
               static_cast<long long>(result.edgesCreated),
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());

  // Only the build is sped up this way; the server runs on a normal connection.
  db.exec("PRAGMA synchronous = OFF;");
  bench::writeMemoriesInBatches(db, kMemories, [&](int i) {
    store::MemoryWrite write;
    write.body = memoryBody(rng, i);
    write.project = result.project;
    write.importance = 1 + static_cast<int>(rng() % 10);
    return write;
  });
  bench::spreadOverTime(db, rng);
  db.run(
      "INSERT INTO projects (id, name, path, created_at) VALUES ('BENCH', 'shopfront', ?, "
      "'2026-01-01T00:00:00.000+0000')",
      {db::text(result.project)});
  std::ofstream(done) << result.project << "\n";
  std::fprintf(stderr, "store built in %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

std::string projectPath() {
  std::ifstream in(homeDirectory() / "done");
  std::string path;
  std::getline(in, path);
  return path;
}

double gMedian = 0;

void getContextIn(benchmark::State& state, const fs::path& home, const std::string& project,
                  double* median) {
  bench::ServerProcess server(home);
  const std::string request =
      nlohmann::json{
          {"jsonrpc", "2.0"},
          {"id", 1},
          {"method", "tools/call"},
          {"params", {{"name", "nodrel_get_context"}, {"arguments", {{"project_path", project}}}}}}
          .dump();
  const auto first = nlohmann::json::parse(server.call(request));
  const auto context =
      nlohmann::json::parse(first["result"]["content"][0]["text"].get<std::string>());
  state.counters["memories"] = static_cast<double>(context["memories"].size());
  state.counters["files"] = context["code_structure"].value("total_files", 0.0);

  *median = bench::timeIterations(state, [&] { benchmark::DoNotOptimize(server.call(request)); });
  const double floor = bench::medianListRoundTripMs(server);
  state.counters["floor_ms"] = floor;
  state.counters["ratio"] = floor > 0 ? *median / floor : 0;
}

void BM_GetContext(benchmark::State& state) {
  buildHome();
  getContextIn(state, homeDirectory(), projectPath(), &gMedian);
}

double gGoMedian = 0;

void BM_GetContextGo(benchmark::State& state) {
  if (bench::goHome().empty()) {
    state.SkipWithError("no Go sources (golang-1.19-src)");
    return;
  }
  getContextIn(state, bench::goHome(), bench::goProject(), &gGoMedian);
}

// On the stores of Go comments with half of the memories in the project asked about
// (bench/half_project_store.h), which has no ingested code.
std::map<int, double> gHalfMedians;  // memories -> median ms

void BM_GetContextHalf(benchmark::State& state, int count) {
  getContextIn(state, bench::halfProjectStore(count).home, bench::halfStoreMainProject(),
               &gHalfMedians[count]);
}

// The code summary of the Go tree, in-process: as the context reads it (stored by ingestion),
// or computed from the code tables as it is when the rows changed since.
void BM_GoCodeStructure(benchmark::State& state, bool computed) {
  if (bench::goHome().empty()) {
    state.SkipWithError("no Go sources (golang-1.19-src)");
    return;
  }
  auto db = db::Connection::open(bench::goHomeDatabase());
  const std::string project = bench::goProject();
  bench::timeIterations(state, [&] {
    if (computed) {
      benchmark::DoNotOptimize(codeintel::computeCodeSummary(project, db));
    } else {
      benchmark::DoNotOptimize(server::fetchCodeStructure(project, db));
    }
  });
}

using Section = std::function<void(const std::string& project, db::Connection& db)>;

void BM_Section(benchmark::State& state, Section section) {
  buildHome();
  auto db = db::Connection::open(databasePath());
  const std::string project = projectPath();
  bench::timeIterations(state, [&] { section(project, db); });
}

std::optional<std::string> projectID(const std::string& project, db::Connection& db) {
  const auto row = server::fetchProject(project, db);
  return row ? std::optional(row->id) : std::nullopt;
}

// The sections in the order getContext runs them; the scenes are looked up for the memories
// that recall returns.
const std::pair<const char*, Section> kSections[] = {
    {"whole_context",
     [](const std::string& p, db::Connection& db) {
       benchmark::DoNotOptimize(server::getContext(p, std::nullopt, db, nullptr));
     }},
    {"skills",
     [](const std::string& p, db::Connection& db) {
       benchmark::DoNotOptimize(server::getSkills(p, std::nullopt, db));
     }},
    {"corrections_sessions_efficiency",
     [](const std::string& p, db::Connection& db) {
       const auto id = projectID(p, db);
       benchmark::DoNotOptimize(server::fetchCorrections(id, db));
       benchmark::DoNotOptimize(server::fetchSessionContexts(id, db));
       benchmark::DoNotOptimize(server::fetchEfficiencyInsight(id, db));
     }},
    {"top_memories",
     [](const std::string& p, db::Connection& db) {
       benchmark::DoNotOptimize(server::fetchTopMemories(p, db, nullptr));
     }},
    {"mem_scenes",
     [](const std::string& p, db::Connection& db) {
       static const std::set<std::string> ids = [&] {
         std::set<std::string> out;
         for (const auto& m : server::fetchTopMemories(p, db, nullptr)) {
           out.insert(m["id"].get<std::string>());
         }
         return out;
       }();
       benchmark::DoNotOptimize(server::fetchMemScenes(ids, db));
     }},
    {"code_structure",
     [](const std::string& p, db::Connection& db) {
       benchmark::DoNotOptimize(server::fetchCodeStructure(p, db));
     }},
    {"impact_hints",
     [](const std::string& p, db::Connection& db) {
       benchmark::DoNotOptimize(server::fetchImpactHints(p, db));
     }},
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("server/get_context/10k_memories_10k_files", BM_GetContext)
      ->Iterations(60)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("server/get_context/go/10k_memories", BM_GetContextGo)
      ->Iterations(60)
      ->Unit(benchmark::kMillisecond);
  for (int count : bench::benchStoreSizes({10000, 100000})) {
    benchmark::RegisterBenchmark(
        ("server/get_context/go-comments/" + std::to_string(count) + "-half").c_str(),
        BM_GetContextHalf, count)
        ->Iterations(40)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RegisterBenchmark("sections/go/code_structure", BM_GoCodeStructure, false)
      ->Iterations(40)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("sections/go/code_structure_computed", BM_GoCodeStructure, true)
      ->Iterations(10)
      ->Unit(benchmark::kMillisecond);
  for (const auto& [name, section] : kSections) {
    benchmark::RegisterBenchmark((std::string("sections/") + name).c_str(), BM_Section, section)
        ->Iterations(40)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("nodrel_get_context median %.2f ms, on the Go tree %.2f ms (target: at most 30 ms)\n",
              gMedian, gGoMedian);
  for (const auto& [count, median] : gHalfMedians) {
    const double target = count >= 100000 ? 100 : 30;
    std::printf(
        "nodrel_get_context on %d Go comments, half in the project: median %.2f ms "
        "(target: at most %.0f ms) %s\n",
        count, median, target, median <= target ? "met" : "over");
  }
  return 0;
}
