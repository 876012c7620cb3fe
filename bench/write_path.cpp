// bench/write_path.cpp: the cost of one memory write over a store of 10,000 memories, for a
// body already stored (reinforcement) and for a new one (the whole path, step by step, against
// the floor of its INSERT, full-text and vector statements alone).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
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
#include "store/memory_links.h"
#include "store/vector_store.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
using Clock = std::chrono::steady_clock;

constexpr int kStoreSize = 10'000;

// Bodies of a realistic spread: lower-case words from a vocabulary of thousands, and now and
// then one of a few dozen names, so that a new memory links to a handful of others, not to all.
constexpr const char* kSyllables[] = {"ba",  "ko", "ri",  "tem", "lo",  "san", "vi",  "der", "mu",
                                      "pel", "ta", "gon", "fi",  "rak", "ne",  "sol", "du",  "mir"};
constexpr int kVocabulary = 3000;
constexpr int kNames = 40;

std::string word(int n) {
  std::string w;
  for (int i = 0; i < 3; ++i) {
    w += kSyllables[n % std::size(kSyllables)];
    n /= static_cast<int>(std::size(kSyllables));
  }
  return w;
}

std::string sentence(std::mt19937& rng, int serial) {
  std::uniform_int_distribution<int> pick(0, kVocabulary - 1), name(0, kNames - 1), length(8, 24),
      coin(0, 9);
  std::string out;
  for (int i = length(rng); i > 0; --i) {
    if (!out.empty()) out += ' ';
    out += word(pick(rng));
  }
  if (coin(rng) < 3) {
    std::string n = word(kVocabulary + name(rng));
    n[0] = static_cast<char>(n[0] - 'a' + 'A');
    out += " for ";
    out += n;
  }
  out += " (note ";
  out += std::to_string(serial);
  out += ")";
  return out;
}

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t mid = samples.size() / 2;
  return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A scratch HOME with a database of kStoreSize memories written through the real path.
struct Store {
  std::filesystem::path home;
  std::optional<db::Connection> db;
  store::WriteState writes;
  std::vector<std::string> bodies;
  std::mt19937 rng{42};
  int serial = 0;

  Store() {
    char pattern[] = "/tmp/nodrel-bench-XXXXXX";
    home = mkdtemp(pattern);
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_CONFIG_HOME");
    std::filesystem::create_directories(platform::NodrelPaths::baseDirectory());
    db.emplace(db::Connection::open(platform::NodrelPaths::databaseURL(), {.create = true}));
    db::createSchema(*db);
    db::Savepoint batch(*db, "bench_store");
    for (int i = 0; i < kStoreSize; ++i) {
      bodies.push_back(next());
      store::writeMemory(*db, writes, {.body = bodies.back(), .project = "/work/project"});
    }
    batch.commit();
    // A budget far from reached: every new write pays for the usage query.
    platform::UserDefaults::set(std::string(store::kActiveBudgetKey), std::int64_t{1} << 40);
  }
  ~Store() {
    db.reset();
    std::error_code ec;
    std::filesystem::remove_all(home, ec);
  }
  std::string next() { return sentence(rng, serial++); }
};

Store& store() {
  static Store s;
  return s;
}

void BM_ReinforceExisting(benchmark::State& state) {
  Store& s = store();
  std::vector<double> samples;
  std::size_t i = 0;
  for (auto _ : state) {
    const std::string& body = s.bodies[(i++ * 7919) % s.bodies.size()];
    const auto start = Clock::now();
    benchmark::DoNotOptimize(store::writeMemory(*s.db, s.writes, {.body = body}));
    samples.push_back(msSince(start));
  }
  state.counters["median_ms"] = median(samples);
}
BENCHMARK(BM_ReinforceExisting)->Iterations(2000)->Unit(benchmark::kMicrosecond);

// One iteration writes three new bodies: through writeMemory, through its steps one by one,
// and through the bare statements. Interleaving them keeps the three under the same conditions.
void BM_WriteNewMemory(benchmark::State& state) {
  Store& s = store();
  std::map<std::string, std::vector<double>> steps;
  std::vector<double> whole, floor;
  for (auto _ : state) {
    {
      const std::string body = s.next();
      const auto start = Clock::now();
      benchmark::DoNotOptimize(
          store::writeMemory(*s.db, s.writes, {.body = body, .project = "/work/project"}));
      whole.push_back(msSince(start));
    }
    {
      const std::string body = s.next();
      auto t = Clock::now();
      const std::string id = store::memoryContentHash(body);
      steps["1 hash"].push_back(msSince(t));
      t = Clock::now();
      benchmark::DoNotOptimize(store::fetchMemory(id, *s.db));
      steps["2 lookup"].push_back(msSince(t));
      t = Clock::now();
      store::enforceCapacity(*s.db, s.writes.notifications);
      steps["3 capacity"].push_back(msSince(t));
      t = Clock::now();
      const std::string now = platform::currentTimestampText();
      {
        db::Savepoint savepoint(*s.db, "bench_write");
        store::insertMemoryRow(*s.db, id, {.body = body, .project = "/work/project"},
                               store::tokenEstimate(body), 5, now);
        store::syncMemoryFTS(id, body, std::nullopt, *s.db);
        savepoint.commit();
      }
      steps["4 insert+mirror"].push_back(msSince(t));
      {
        db::Savepoint extras(*s.db, "bench_extras");
        t = Clock::now();
        if (auto vector = store::embed(body)) store::storeEmbedding(id, *vector, *s.db);
        steps["5 vector"].push_back(msSince(t));
        t = Clock::now();
        store::createMemoryLinks(id, body, *s.db, s.writes.analyses);
        steps["6 links"].push_back(msSince(t));
        t = Clock::now();
        extras.commit();
        steps["7 commit"].push_back(msSince(t));
      }
    }
    {
      const std::string body = s.next();
      const std::string id = store::memoryContentHash(body);
      const auto vector = store::embed(body).value_or(std::vector<float>(512, 0.5f));
      const std::string now = platform::currentTimestampText();
      const auto start = Clock::now();
      {
        db::Savepoint savepoint(*s.db, "bench_floor");
        store::insertMemoryRow(*s.db, id, {.body = body, .project = "/work/project"}, 9, 5, now);
        store::syncMemoryFTS(id, body, std::nullopt, *s.db);
        savepoint.commit();
      }
      store::storeEmbedding(id, vector, *s.db);
      floor.push_back(msSince(start));
    }
  }
  state.counters["median_ms"] = median(whole);
  state.counters["floor_ms"] = median(floor);
  state.counters["ratio"] = median(floor) > 0 ? median(whole) / median(floor) : 0;
  for (const auto& [name, samples] : steps) state.counters[name + "_ms"] = median(samples);
}
BENCHMARK(BM_WriteNewMemory)->Iterations(300)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
