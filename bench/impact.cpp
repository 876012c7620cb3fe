// bench/impact.cpp: impact analysis of one central file of Go's standard library after a
// first ingestion. The central file is the project's most fragile one unless
// NODREL_BENCH_IMPACT_FILE names another; the tree is NODREL_BENCH_GO_DIR, default
// /usr/share/go-1.19/src (golang-1.19-src). NODREL_BENCH_IMPACT_DB keeps the ingested database
// at that path and reuses it on later runs. Target: median at most 50 ms.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <unistd.h>

#include "codeintel/code_ingestion_service.h"
#include "codeintel/impact.h"
#include "db/connection.h"
#include "db/schema.h"

namespace {

namespace fs = std::filesystem;

struct Setup {
  fs::path dir;
  std::optional<nodrel::db::Connection> db;
  std::string project;
  std::string file;
  nodrel::codeintel::ImpactReport report;
};

Setup& setup() {
  static Setup s = [] {
    Setup out;
    const char* tree = std::getenv("NODREL_BENCH_GO_DIR");
    out.project = tree && *tree ? tree : "/usr/share/go-1.19/src";
    fs::path path;
    bool reuse = false;
    std::error_code ec;
    if (const char* kept = std::getenv("NODREL_BENCH_IMPACT_DB"); kept && *kept) {
      path = kept;
      reuse = fs::exists(path, ec);
    } else {
      char pattern[] = "/tmp/nodrel-bench-impact-XXXXXX";
      out.dir = mkdtemp(pattern);
      path = out.dir / "nodrel.db";
    }
    out.db.emplace(nodrel::db::Connection::open(path, {.create = true}));
    nodrel::db::createSchema(*out.db);
    if (!fs::is_directory(out.project, ec)) return out;
    if (!reuse) {
      nodrel::codeintel::CodeIngestionService service(*out.db);
      auto result = service.writeQueue().sync([&] { return service.ingest(out.project); });
      std::printf("ingested %s: %lld files, %lld symbols, %lld edges\n", out.project.c_str(),
                  static_cast<long long>(result.filesDiscovered),
                  static_cast<long long>(result.symbolsExtracted),
                  static_cast<long long>(result.edgesCreated));
    }
    if (const char* file = std::getenv("NODREL_BENCH_IMPACT_FILE"); file && *file) {
      out.file = file;
    } else if (auto top = nodrel::codeintel::fetchTopFragileFiles(out.project, 1, *out.db);
               !top.empty()) {
      out.file = top.front().path;
    }
    return out;
  }();
  return s;
}

void analyzeCentralFile(benchmark::State& state) {
  auto& s = setup();
  if (s.file.empty()) {
    state.SkipWithError("no Go sources found");
    return;
  }
  for (auto _ : state) {
    s.report = nodrel::codeintel::analyzeImpact(s.project, {s.file}, *s.db);
    benchmark::DoNotOptimize(s.report);
  }
  state.counters["blast_radius"] = static_cast<double>(s.report.blastRadius);
  state.counters["direct"] = static_cast<double>(s.report.directDependents.size());
  state.counters["warnings"] = static_cast<double>(s.report.highImpactWarnings.size());
  state.counters["predictions"] = static_cast<double>(s.report.predictions.size());
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RegisterBenchmark("impact/go_central_file", analyzeCentralFile)
      ->Repetitions(15)
      ->ReportAggregatesOnly(true)
      ->Unit(benchmark::kMillisecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  auto& s = setup();
  if (!s.file.empty()) {
    std::printf("central file %s: blast radius %lld, risk %s (target: median at most 50 ms)\n",
                s.file.c_str(), static_cast<long long>(s.report.blastRadius),
                std::string(nodrel::codeintel::toString(s.report.riskLevel)).c_str());
  }
  s.db.reset();
  std::error_code ec;
  if (!s.dir.empty()) fs::remove_all(s.dir, ec);
  return 0;
}
