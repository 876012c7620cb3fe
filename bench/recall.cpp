// Recall latency on stores of 1,000, 10,000 and 100,000 memories of real English written
// through the write path (bench/go_comment_store.h), for a natural-language query and a path
// query, against the floor that no recall can beat: the full-text statement plus one plain scan
// of the stored vectors. "recall" is the command-line path (the session-start hook), "kept"
// recalls as the server does, with the packed copy of the vectors it keeps in memory. Each size
// is timed in two layouts: six projects of about a sixth each, and half of the memories in the
// queried project (bench/half_project_store.h, the sizes suffixed "-half"). The entity-dense
// store (bench/entity_dense_store.h, "speakers-5880"), where every memory names one of two
// speakers, is timed with the same queries and one that names a speaker, so that graph
// expansion over entity links is part of the figure.
//
// Counters: median_ms and p95_ms per query; the ratio of recall's median to the floor's is
// printed at the end. NODREL_BENCH_SIZES and NODREL_BENCH_ITERATIONS narrow a run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "bench/entity_dense_store.h"
#include "bench/go_comment_store.h"
#include "bench/half_project_store.h"
#include "db/connection.h"
#include "store/query_router.h"
#include "store/recall.h"
#include "store/vector_store.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

constexpr std::int64_t kLimit = 15;

struct Query {
  const char* name;
  const char* text;
  std::string project;
};
// A question in the words of the comments, and a path the bodies name, both asked in the
// project that holds net/http.
std::vector<Query> queries() {
  const std::string project = bench::goStoreProjectFor("net/http");
  return {{"natural", "the connection is closed when the request body is read", project},
          {"path", "net/http/transport.go", project}};
}

// The floor: the same full-text statement recall runs, stepped to the end, and one plain read
// of every stored vector.
constexpr std::string_view kFloorFullText = R"sql(
    SELECT m.id, m.tier, m.body, m.body_tokens, m.project, m.context_path,
           m.type, m.tags, m.created_at, m.last_accessed, m.access_count,
           m.strength, m.importance, m.pinned, m.evidence_count,
           m.parent_id, m.source_session, m.predicted_future_use,
           m.condition_type, m.condition_value, m.surface_condition,
           m.trigger_keywords, m.depth, m.is_top_level,
           bm25(memories_fts) AS rank
    FROM memories_fts
    JOIN memories m ON m.rowid = memories_fts.rowid
    WHERE memories_fts MATCH ?
      AND m.project = ?
      AND m.deleted_at IS NULL
      AND m.tier != 'cold'
    ORDER BY rank
    LIMIT 50)sql";

std::size_t floorOnce(db::Connection& db, const Query& q) {
  std::size_t work = 0;
  const std::vector<db::Value> bindings{db::Value(store::sanitizeFTSQuery(q.text)),
                                        db::Value(q.project)};
  db.each(kFloorFullText, bindings, [&](const db::Row& row) {
    work += row.size();
    return true;
  });
  db.each("SELECT memory_id, embedding FROM memory_vectors", {}, [&](const db::Row& row) {
    if (auto blob = db::blobOf(row[1])) work += blob->bytes.size();
    return true;
  });
  return work;
}

std::map<std::string, double> gMedians;  // "recall/natural/10000" -> median ms

void report(benchmark::State& state, std::vector<double>& samples, const std::string& key) {
  if (samples.empty()) return;
  std::sort(samples.begin(), samples.end());
  const double median = samples[samples.size() / 2];
  const double p95 = samples[std::min(samples.size() - 1, samples.size() * 95 / 100)];
  state.counters["median_ms"] = median;
  state.counters["p95_ms"] = p95;
  gMedians[key] = median;
}

void runTimed(benchmark::State& state, const std::string& key, auto&& once) {
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(once());
    samples.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
            .count());
  }
  report(state, samples, key);
}

void BM_Recall(benchmark::State& state, fs::path database, std::string size, Query q) {
  auto db = db::Connection::open(database);
  const auto first = store::recallMemories(q.text, q.project, kLimit, db, nullptr);
  state.counters["returned"] = static_cast<double>(first.size());
  runTimed(state, std::string("recall/") + q.name + "/" + size,
           [&] { return store::recallMemories(q.text, q.project, kLimit, db, nullptr).size(); });
}

// As the server recalls: with the packed copy of the vectors it keeps, read once before timing.
void BM_RecallKept(benchmark::State& state, fs::path database, std::string size, Query q) {
  auto db = db::Connection::open(database);
  store::KeptVectorCopy kept(db);
  store::recallMemories(q.text, q.project, kLimit, db, &kept);
  runTimed(state, std::string("kept/") + q.name + "/" + size,
           [&] { return store::recallMemories(q.text, q.project, kLimit, db, &kept).size(); });
}

void BM_Floor(benchmark::State& state, fs::path database, std::string size, Query q) {
  auto db = db::Connection::open(database);
  runTimed(state, std::string("floor/") + q.name + "/" + size, [&] { return floorOnce(db, q); });
}

}  // namespace

int main(int argc, char** argv) {
  // The user's own defaults (a storage budget, say) must not shape the stores.
  const fs::path config = fs::temp_directory_path() / "nodrel-bench-config";
  fs::create_directories(config);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  const std::vector<int> sizes = bench::benchStoreSizes({1000, 10000, 100000});
  int iterations = 0;  // 0: 200 per benchmark, 40 at 100,000 memories
  if (const char* n = std::getenv("NODREL_BENCH_ITERATIONS")) iterations = std::atoi(n);
  const int speakers = 5880;  // the length of a long conversation's turns
  const bench::GoStore speakerStore =
      bench::shapedStore(speakers, {bench::NameShape::TwoSpeakers, false});
  for (int count : sizes) {
    bench::goStore(count);
    bench::halfProjectStore(count);
  }
  for (int count : sizes) {
    const int n = iterations > 0 ? iterations : count >= 100000 ? 40 : 200;
    const std::pair<fs::path, std::string> layouts[] = {
        {bench::goStore(count).database, std::to_string(count)},
        {bench::halfProjectStore(count).database, std::to_string(count) + "-half"}};
    for (const auto& [database, size] : layouts) {
      for (const Query& q : queries()) {
        const std::string suffix = std::string(q.name) + "/" + size;
        benchmark::RegisterBenchmark(("recall/" + suffix).c_str(), BM_Recall, database, size, q)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(n);
        benchmark::RegisterBenchmark(("kept/" + suffix).c_str(), BM_RecallKept, database, size, q)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(n);
        benchmark::RegisterBenchmark(("floor/" + suffix).c_str(), BM_Floor, database, size, q)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(n);
      }
    }
  }
  {
    std::vector<Query> speakerQueries = queries();
    speakerQueries.push_back({"speaker", "what Maria said about closing the connection",
                              speakerQueries.front().project});
    const int n = iterations > 0 ? iterations : 200;
    const std::string size = "speakers-" + std::to_string(speakers);
    for (const Query& q : speakerQueries) {
      const std::string suffix = std::string(q.name) + "/" + size;
      benchmark::RegisterBenchmark(("recall/" + suffix).c_str(), BM_Recall, speakerStore.database,
                                   size, q)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(n);
      benchmark::RegisterBenchmark(("kept/" + suffix).c_str(), BM_RecallKept, speakerStore.database,
                                   size, q)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(n);
      benchmark::RegisterBenchmark(("floor/" + suffix).c_str(), BM_Floor, speakerStore.database,
                                   size, q)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(n);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  for (const auto& [key, median] : gMedians) {
    const auto slash = key.find('/');
    if (key.rfind("floor/", 0) == 0 || slash == std::string::npos) continue;
    const std::string rest = key.substr(slash + 1);
    auto floor = gMedians.find("floor/" + rest);
    if (floor == gMedians.end() || floor->second <= 0) continue;
    std::printf("ratio %s/floor %-18s median %8.3f ms / %8.3f ms = %.2f\n",
                key.substr(0, slash).c_str(), rest.c_str(), median, floor->second,
                median / floor->second);
  }
  return 0;
}
