// nodrel_get_impact as a host sees it: one tools/call line to the real NodrelMCP over a pipe
// and its response line back, on a store of 10,000 memories and an ingested project of 10,000
// generated TypeScript files that import one another. Two changed files: one of the project's
// core modules, which about 500 files import (1,727 dependents up to the third remove), and an
// ordinary module file. Then the same on Go's standard library with the memories of
// bench/go_home.h, for its most depended-on file (the most fragile, as the tree has no
// history) and an ordinary one, warm and as the first call of a fresh server. Target: median
// at most 50 ms.
//
// The home (database and project) is built once into <build>/bench-cache and reused; delete
// that folder after changing how it is generated. Counters: median_ms and p95_ms per call.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/go_home.h"
#include "bench/server_process.h"
#include "codeintel/code_ingestion_service.h"
#include "codeintel/fragility.h"
#include "db/connection.h"
#include "db/schema.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

// Bump when the generated home changes, so stale caches are rebuilt.
constexpr int kHomeVersion = 2;
constexpr int kModules = 100;
constexpr int kFilesPerModule = 100;
constexpr int kCoreFiles = 20;
constexpr int kMemories = 10'000;

fs::path homeDirectory() {
  return fs::path(NODREL_BINARY_DIR) / "bench-cache" /
         ("server-impact-v" + std::to_string(kHomeVersion));
}
fs::path projectDirectory() { return homeDirectory() / "project"; }
fs::path databasePath() { return homeDirectory() / ".local/share/Nodrel/nodrel.db"; }

std::string padded(int value, int width) {
  std::string text = std::to_string(value);
  return std::string(static_cast<std::size_t>(std::max(0, width - static_cast<int>(text.size()))),
                     '0') +
         text;
}

// Base names are unique in the project, so every relative import names exactly one file.
std::string moduleFileName(int module, int file) {
  char name[16];
  std::snprintf(name, sizeof name, "m%03d_f%03d", module, file);
  return name;
}

std::string moduleFile(int module, int file) {
  return "mod" + padded(module, 3) + "/" + moduleFileName(module, file) + ".ts";
}

std::string className(int module, int file) {
  char name[16];
  std::snprintf(name, sizeof name, "M%03dF%03d", module, file);
  return name;
}

void writeText(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// Every module file imports one core module and two earlier files of its own module, and uses
// what it imports; the core modules import nothing.
void generateProject(std::mt19937& rng) {
  for (int c = 0; c < kCoreFiles; ++c) {
    const std::string n = padded(c, 2);
    writeText(projectDirectory() / ("core/core" + n + ".ts"),
              "export class Core" + n + " {\n  run(value: number): number {\n    return value + " +
                  std::to_string(c) + ";\n  }\n}\n\nexport function core" + n + "(): Core" + n +
                  " {\n  return new Core" + n + "();\n}\n");
  }
  for (int m = 0; m < kModules; ++m) {
    for (int f = 0; f < kFilesPerModule; ++f) {
      const std::string self = className(m, f);
      const std::string core = padded(static_cast<int>(rng() % kCoreFiles), 2);
      std::string text = "import { core" + core + " } from '../core/core" + core + "';\n";
      std::string uses = "    core" + core + "().run(1);\n";
      for (int i = 0; i < 2 && f > 0; ++i) {
        const int other = static_cast<int>(rng() % f);
        const std::string name = className(m, other);
        text += "import { " + name + " } from './" + moduleFileName(m, other) + "';\n";
        uses += "    new " + name + "().handle();\n";
      }
      text += "\nexport class " + self + " {\n  handle(): void {\n" + uses + "  }\n}\n";
      writeText(projectDirectory() / moduleFile(m, f), text);
    }
  }
}

void writeMemories(db::Connection& db, std::mt19937& rng) {
  const char* const kSubjects[] = {"the retry queue",    "the cache refresh", "the login session",
                                   "the build pipeline", "the search index",  "the rate limiter"};
  const char* const kFindings[] = {
      "fails when two workers pick the same job", "returns stale data after a deploy",
      "times out when the pool is exhausted", "runs twice after the schema version is bumped"};
  const std::string project = projectDirectory().string();
  bench::writeMemoriesInBatches(db, kMemories, [&](int i) {
    store::MemoryWrite write;
    const std::string file =
        moduleFile(static_cast<int>(rng() % kModules), static_cast<int>(rng() % kFilesPerModule));
    write.body = std::string("Observed that ") + kSubjects[rng() % std::size(kSubjects)] + " " +
                 kFindings[rng() % std::size(kFindings)] + "; the change touched " + file +
                 " (note " + std::to_string(i) + ")";
    write.project = project;
    write.contextPath = file;
    write.importance = 1 + static_cast<int>(rng() % 10);
    return write;
  });
}

void buildHome() {
  const fs::path done = homeDirectory() / "done";
  if (fs::exists(done)) return;
  fs::remove_all(homeDirectory());
  std::fprintf(stderr, "building %s ...\n", homeDirectory().c_str());
  const auto started = std::chrono::steady_clock::now();
  std::mt19937 rng(20261210);
  generateProject(rng);
  fs::create_directories(databasePath().parent_path());
  {
    auto db = db::Connection::open(databasePath(), {.create = true});
    db::createSchema(db);
    db.exec("PRAGMA synchronous = OFF;");
    writeMemories(db, rng);
    codeintel::CodeIngestionService service(db);
    auto result =
        service.writeQueue().sync([&] { return service.ingest(projectDirectory().string()); });
    std::fprintf(stderr, "ingested %lld files, %lld symbols, %lld edges, %zu errors\n",
                 static_cast<long long>(result.filesDiscovered),
                 static_cast<long long>(result.symbolsExtracted),
                 static_cast<long long>(result.edgesCreated), result.errors.size());
  }
  std::ofstream(done) << "ok\n";
  std::fprintf(stderr, "built in %.1f s\n",
               std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}

void getImpactIn(benchmark::State& state, const fs::path& home, const std::string& project,
                 const std::string& file) {
  bench::ServerProcess server(home);
  server.call(R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})");
  const std::string request =
      nlohmann::json{{"jsonrpc", "2.0"},
                     {"id", 1},
                     {"method", "tools/call"},
                     {"params",
                      {{"name", "nodrel_get_impact"},
                       {"arguments", {{"project", project}, {"files", {file}}}}}}}
          .dump();
  std::vector<double> samples;
  std::string response;
  for (auto _ : state) {
    const auto started = std::chrono::steady_clock::now();
    response = server.call(request);
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count());
  }
  const auto result = nlohmann::json::parse(
      nlohmann::json::parse(response)["result"]["content"][0]["text"].get<std::string>());
  if (result.value("success", false) != true) {
    state.SkipWithError(result.dump().c_str());
    return;
  }
  state.counters["median_ms"] = bench::percentile(samples, 0.5);
  state.counters["p95_ms"] = bench::percentile(samples, 0.95);
  const double floor = bench::medianListRoundTripMs(server);
  state.counters["floor_ms"] = floor;
  state.counters["ratio"] = floor > 0 ? bench::percentile(samples, 0.5) / floor : 0;
  state.counters["blast_radius"] = result.value("blast_radius", -1.0);
  state.SetLabel(file + "; target: median <= 50 ms");
}

void getImpact(benchmark::State& state, const std::string& file) {
  buildHome();
  getImpactIn(state, homeDirectory(), projectDirectory().string(), file);
}

// The Go tree's most depended-on file, or an ordinary one (the hundredth by score); nothing,
// with the benchmark skipped, when the tree is missing or was not ingested.
std::optional<std::string> goFileToAsk(benchmark::State& state, bool central) {
  const fs::path database = bench::goHomeDatabase();
  if (database.empty()) {
    state.SkipWithError("no Go sources (golang-1.19-src)");
    return std::nullopt;
  }
  auto db = db::Connection::open(database);
  auto top = codeintel::fetchTopFragileFiles(bench::goProject(), central ? 1 : 100, db);
  if (top.empty()) {
    state.SkipWithError("nothing ingested");
    return std::nullopt;
  }
  return top.back().path;
}

void getImpactGo(benchmark::State& state, bool central) {
  const std::optional<std::string> asked = goFileToAsk(state, central);
  if (!asked) return;
  const std::string& file = *asked;
  getImpactIn(state, bench::goHome(), bench::goProject(), file);
}

// CPU seconds of the children waited for so far.
double childrenCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string toolCall(const std::string& tool, const nlohmann::json& arguments) {
  return nlohmann::json{{"jsonrpc", "2.0"},
                        {"id", 1},
                        {"method", "tools/call"},
                        {"params", {{"name", tool}, {"arguments", arguments}}}}
      .dump();
}

// The first call of a fresh server, which has no graph in memory yet: each iteration starts one
// server whose first tool call is the impact call, and one whose first is nodrel_list_tasks,
// the floor (opening the database, one small read). CPU counters are each server's whole life.
void getImpactGoFirstCall(benchmark::State& state, bool central) {
  const std::optional<std::string> asked = goFileToAsk(state, central);
  if (!asked) return;
  const std::string& file = *asked;
  const std::string initialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})";
  const std::string impact =
      toolCall("nodrel_get_impact", {{"project", bench::goProject()}, {"files", {file}}});
  const std::string trivial = toolCall("nodrel_list_tasks", {{"project", bench::goProject()}});
  auto firstCall = [&](const std::string& request, std::string& response, double& cpu) {
    const double cpuBefore = childrenCpuSeconds();
    double ms = 0;
    {
      bench::ServerProcess server(bench::goHome());
      server.call(initialize);
      const auto started = std::chrono::steady_clock::now();
      response = server.call(request);
      ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
               .count();
    }
    cpu = (childrenCpuSeconds() - cpuBefore) * 1000;
    return ms;
  };
  std::vector<double> first, floor, firstCpu, floorCpu;
  std::string response, ignored;
  for (auto _ : state) {
    double cpu = 0;
    first.push_back(firstCall(impact, response, cpu));
    firstCpu.push_back(cpu);
    floor.push_back(firstCall(trivial, ignored, cpu));
    floorCpu.push_back(cpu);
  }
  const auto result = nlohmann::json::parse(
      nlohmann::json::parse(response)["result"]["content"][0]["text"].get<std::string>());
  if (result.value("success", false) != true) {
    state.SkipWithError(result.dump().c_str());
    return;
  }
  state.counters["median_ms"] = bench::percentile(first, 0.5);
  state.counters["p95_ms"] = bench::percentile(first, 0.95);
  state.counters["floor_ms"] = bench::percentile(floor, 0.5);
  state.counters["ratio"] = bench::percentile(first, 0.5) / bench::percentile(floor, 0.5);
  state.counters["cpu_ms"] = bench::percentile(firstCpu, 0.5);
  state.counters["floor_cpu_ms"] = bench::percentile(floorCpu, 0.5);
  state.counters["blast_radius"] = result.value("blast_radius", -1.0);
  state.SetLabel(file + "; target: median <= 50 ms");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (const char* file : {"core/core07.ts", "mod042/m042_f050.ts"}) {
    benchmark::RegisterBenchmark(("server/get_impact/" + std::string(file)).c_str(), getImpact,
                                 std::string(file))
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(3.0);
  }
  for (bool central : {true, false}) {
    benchmark::RegisterBenchmark(
        central ? "server/get_impact/go/most_depended_on" : "server/get_impact/go/ordinary",
        getImpactGo, central)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->MinTime(3.0);
  }
  for (bool central : {true, false}) {
    benchmark::RegisterBenchmark(central ? "server/get_impact/go/first_call/most_depended_on"
                                         : "server/get_impact/go/first_call/ordinary",
                                 getImpactGoFirstCall, central)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Iterations(15);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
