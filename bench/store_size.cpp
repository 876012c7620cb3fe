// The size of a store and the links it holds, per memory: the Go-comment stores, the store with
// a few recurring names and the two-speaker store. Not a timing: each benchmark reports its
// counters once. Target: at most 6 KB of database (file and write-ahead log) per memory at
// 20,000 memories with recurring names. NODREL_BENCH_SIZES chooses the Go-store sizes.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "bench/entity_dense_store.h"
#include "bench/go_comment_store.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

void describe(benchmark::State& state, const bench::GoStore& store, int count) {
  for (auto _ : state) {
  }
  auto db = db::Connection::open(store.database);
  std::uintmax_t bytes = fs::file_size(store.database);
  std::error_code ec;
  if (const auto wal = fs::file_size(store.database.string() + "-wal", ec); !ec) bytes += wal;
  state.counters["kb_per_memory"] = static_cast<double>(bytes) / 1024.0 / count;
  // A store built in minutes rewrites its temporal links to spread over years (see
  // simulated_history.h), which leaves free pages a grown store need not have: the compacted
  // copy shows the size without them.
  const fs::path compact = store.database.string() + ".compact";
  fs::remove(compact, ec);
  db.run("VACUUM INTO ?", {db::text(compact.string())});
  state.counters["kb_per_memory_vacuumed"] =
      static_cast<double>(fs::file_size(compact)) / 1024.0 / count;
  fs::remove(compact, ec);
  std::int64_t total = 0;
  db.each("SELECT link_type, count(*) FROM memory_links GROUP BY link_type", {},
          [&](const db::Row& row) {
            const double n = static_cast<double>(db::integerOf(row[1]).value_or(0));
            total += db::integerOf(row[1]).value_or(0);
            state.counters[*db::textOf(row[0]) + "_per_memory"] = n / count;
            return true;
          });
  state.counters["links_per_memory"] = static_cast<double>(total) / count;
  auto most = [&](const char* end) {
    return static_cast<double>(
        db::integerOf(*db.scalar(std::string("SELECT max(n) FROM (SELECT count(*) AS n FROM "
                                             "memory_links GROUP BY ") +
                                 end + ")"))
            .value_or(0));
  };
  state.counters["most_outgoing"] = most("src_id");
  state.counters["most_incoming"] = most("dst_id");
}

void BM_GoStoreSize(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  describe(state, bench::goStore(count), count);
}

void BM_RecurringNamesStoreSize(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  describe(state, bench::shapedStore(count, {bench::NameShape::RecurringNames, true}), count);
  state.SetLabel("target: kb_per_memory <= 6");
}
BENCHMARK(BM_RecurringNamesStoreSize)->Arg(20000)->Iterations(1);

void BM_TwoSpeakersStoreSize(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  describe(state, bench::shapedStore(count, {bench::NameShape::TwoSpeakers, false}), count);
}
BENCHMARK(BM_TwoSpeakersStoreSize)->Arg(5880)->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  for (int size : bench::benchStoreSizes({1000, 10000, 100000})) {
    benchmark::RegisterBenchmark("BM_GoStoreSize", BM_GoStoreSize)->Arg(size)->Iterations(1);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
