// bench/demotion.cpp: one demotion pass over 10,000 candidate memories with links between
// them, and the ranking alone. Each pass frees a tenth of the budget (about 1,000 memories).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/savepoint.h"
#include "db/schema.h"
#include "platform/paths.h"
#include "platform/time.h"
#include "platform/user_defaults.h"
#include "store/capacity.h"
#include "store/demotion.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
using Clock = std::chrono::steady_clock;

constexpr int kCandidates = 10'000;
constexpr int kLinksPerMemory = 3;

constexpr std::string_view kInsertMemory = R"sql(
    INSERT INTO memories (id, tier, body, body_tokens, type, created_at, last_accessed,
                          access_count, strength, importance, pinned)
    VALUES (?, ?, ?, ?, ?, ?, ?, ?, 1.0, 5, 0))sql";
constexpr std::string_view kInsertLink = R"sql(
    INSERT OR IGNORE INTO memory_links (src_id, dst_id, link_type, weight, created_at)
    VALUES (?, ?, 'semantic', 0.5, '2026-01-01T00:00:00.000+0000'))sql";
constexpr std::string_view kRestore = R"sql(
    UPDATE memories SET tier = 'episodic' WHERE tier = 'cold';
    DELETE FROM memory_history;
    DELETE FROM audit_log;)sql";

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t mid = samples.size() / 2;
  return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
}

struct Store {
  std::filesystem::path home;
  std::optional<db::Connection> db;
  std::int64_t usedBytes = 0;

  Store() {
    char pattern[] = "/tmp/nodrel-bench-XXXXXX";
    home = mkdtemp(pattern);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(platform::NodrelPaths::baseDirectory());
    db.emplace(db::Connection::open(platform::NodrelPaths::databaseURL(), {.create = true}));
    db::createSchema(*db);

    std::mt19937 rng(7);
    std::uniform_int_distribution<int> tokens(5, 200), access(1, 40), ageMinutes(0, 60 * 24 * 90),
        pick(0, kCandidates - 1);
    const char* const types[] = {"correction",  "decision",  "fact",    "rule", "workflow",
                                 "observation", "key_point", "handoff", "state"};
    const auto now = platform::now();
    std::vector<std::string> ids;
    db::Savepoint planted(*db, "bench_candidates");
    for (int i = 0; i < kCandidates; ++i) {
      const std::string body = "memory body number " + std::to_string(i);
      ids.push_back(store::memoryContentHash(body));
      const std::string stamp =
          platform::sharedTimestampFormatter().format(now - std::chrono::minutes(ageMinutes(rng)));
      const int t = tokens(rng);
      usedBytes += t * 4;
      db->run(kInsertMemory,
              {db::text(ids.back()), db::text(i % 3 ? "episodic" : "semantic"), db::text(body),
               db::Value(std::int64_t{t}), db::text(types[i % std::size(types)]), db::text(stamp),
               db::text(stamp), db::Value(std::int64_t{access(rng)})});
    }
    for (int i = 0; i < kCandidates; ++i) {
      for (int k = 0; k < kLinksPerMemory; ++k) {
        db->run(kInsertLink, {db::text(ids[i]), db::text(ids[pick(rng)])});
      }
    }
    planted.commit();
    // Used bytes equal to the budget: each pass frees a tenth of it.
    platform::UserDefaults::set(std::string(store::kActiveBudgetKey), usedBytes);
  }
  ~Store() {
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
};

Store& store() {
  static Store s;
  return s;
}

void BM_DemotionPass(benchmark::State& state) {
  Store& s = store();
  std::vector<double> samples;
  std::int64_t demoted = 0;
  platform::NotificationCenter notifications;
  for (auto _ : state) {
    state.PauseTiming();
    s.db->exec(kRestore);
    state.ResumeTiming();
    const auto start = Clock::now();
    store::enforceCapacity(*s.db, notifications);
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    state.PauseTiming();
    demoted = db::integerOf(*s.db->scalar("SELECT COUNT(*) FROM memory_history")).value_or(0);
    state.ResumeTiming();
  }
  state.counters["median_ms"] = median(samples);
  state.counters["demoted"] = static_cast<double>(demoted);
}
BENCHMARK(BM_DemotionPass)->Iterations(15)->Unit(benchmark::kMillisecond);

void BM_RankDemotionCandidates(benchmark::State& state) {
  Store& s = store();
  s.db->exec(kRestore);
  std::vector<double> samples;
  for (auto _ : state) {
    const auto start = Clock::now();
    benchmark::DoNotOptimize(store::rankDemotionCandidates(s.usedBytes / 10, *s.db));
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  state.counters["median_ms"] = median(samples);
}
BENCHMARK(BM_RankDemotionCandidates)->Iterations(15)->Unit(benchmark::kMillisecond);

// The two parts of the ranking: loading the candidates, and their link counts.
void BM_LoadCandidates(benchmark::State& state) {
  Store& s = store();
  s.db->exec(kRestore);
  for (auto _ : state) {
    benchmark::DoNotOptimize(store::demotionCandidates(*s.db));
  }
}
BENCHMARK(BM_LoadCandidates)->Iterations(15)->Unit(benchmark::kMillisecond);

std::vector<std::string> allIDs(Store& s) {
  std::vector<std::string> ids;
  for (const auto& row : s.db->query("SELECT id FROM memories")) ids.push_back(*db::textOf(row[0]));
  return ids;
}

// What the ranking does: one read of the links for all candidates.
void BM_LinkCountsFromOneRead(benchmark::State& state) {
  Store& s = store();
  const auto ids = allIDs(s);
  for (auto _ : state) benchmark::DoNotOptimize(store::memoryLinkCountsOfAll(ids, *s.db));
}
BENCHMARK(BM_LinkCountsFromOneRead)->Iterations(15)->Unit(benchmark::kMillisecond);

// The fallback: two queries per candidate.
void BM_LinkCountsPerMemory(benchmark::State& state) {
  Store& s = store();
  const auto ids = allIDs(s);
  for (auto _ : state) {
    for (const auto& id : ids) benchmark::DoNotOptimize(store::memoryLinkCounts(id, *s.db));
  }
}
BENCHMARK(BM_LinkCountsPerMemory)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
