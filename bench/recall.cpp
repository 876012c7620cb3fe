// Recall latency on stores of 1,000, 10,000 and 100,000 memories written through the write
// path, for a natural-language query and a path query, against the floor that no recall can
// beat: the full-text statement plus one plain scan of the stored vectors.
//
// Stores are built once into <build>/bench-cache and reused; delete that folder after changing
// how memories are written. Counters: median_ms and p95_ms per query; the ratio of recall's
// median to the floor's is printed at the end.
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
#include <vector>

#include "bench/simulated_history.h"
#include "db/connection.h"
#include "db/schema.h"
#include "store/query_router.h"
#include "store/recall.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
namespace fs = std::filesystem;

// Bump when the generated store changes, so stale caches are rebuilt.
constexpr int kStoreVersion = 4;
constexpr std::int64_t kLimit = 15;

const char* const kProjects[] = {"/Users/dev/payments", "/Users/dev/mobile-app",
                                 "/Users/dev/infra", "/Users/dev/search", "/Users/dev/docs-site"};

// Bodies of a realistic spread, as in bench/write_path.cpp: sentences of lower-case words from
// a vocabulary of thousands joined by real function words, now and then one of a few dozen
// names, so that a new memory shares noun phrases with a handful of its linking candidates and
// not with all of them. About one body in eight also carries a sentence from the lists below,
// the popular entries more often, so the two queries find real matches (a few per thousand
// memories for the natural query, a few per hundred for the path) and those memories link to
// each other the way memories about one topic do.
const char* const kSubjects[] = {
    "the login session", "the cache refresh", "the payment webhook", "the build pipeline",
    "the search index", "the retry queue", "the database migration", "the feature flag",
    "the image upload", "the rate limiter", "the notification service", "the user settings page",
    "the test fixtures", "the deploy script", "the logging middleware", "the API client"};
const char* const kVerbs[] = {"expires", "fails", "times out", "breaks", "drops requests",
                              "leaks memory", "runs twice", "returns stale data", "crashes",
                              "slows down"};
const char* const kCauses[] = {
    "when the token is refreshed concurrently", "after the cache is warmed on start-up",
    "because the clock skew exceeds the tolerance", "if the connection pool is exhausted",
    "when the config file is missing a key", "after the schema version is bumped",
    "because the mock server returns an empty body", "when two workers pick the same job",
    "if the upstream sends a partial response", "because the locale changes the date format"};
const char* const kFixes[] = {
    "Always take the lock before reading the token.", "Prefer the batch endpoint for this.",
    "Never call it from the main thread.", "Run the migration with the maintenance flag set.",
    "Use the shared formatter with the POSIX locale.", "Add a jitter to the retry delay.",
    "Pin the dependency to the last good version.", "Check the feature flag before the call.",
    "Log the request id so the failure can be traced.", "Keep the timeout below the gateway's."};
const char* const kFiles[] = {"src/auth/session_store.ts", "src/cache/refresh.py",
                              "Sources/App/PaymentWebhook.swift", "scripts/deploy.sh",
                              "src/search/indexer.go", "lib/queue/retry.rb",
                              "db/migrations/042_add_index.sql", "src/api/client.kt"};
const char* const kFunctionWords[] = {"the", "the", "the", "a", "to", "of", "in", "and", "is",
                                      "for", "on", "with", "when", "after", "but", "not", "it",
                                      "that", "from", "by"};
constexpr const char* kSyllables[] = {"ba", "ko", "ri", "tem", "lo", "san", "vi", "der", "mu",
                                      "pel", "ta", "gon", "fi", "rak", "ne", "sol", "du", "mir"};
constexpr int kVocabulary = 4000;
constexpr int kNames = 40;

std::string word(int n) {
  std::string w;
  for (int i = 0; i < 3; ++i) {
    w += kSyllables[n % std::size(kSyllables)];
    n /= static_cast<int>(std::size(kSyllables));
  }
  return w;
}

// An index into a list of n, the first entries the most popular (weights 1/(i+1)).
std::size_t popular(std::mt19937& rng, std::size_t n) {
  std::vector<double> weights(n);
  for (std::size_t i = 0; i < n; ++i) weights[i] = 1.0 / static_cast<double>(i + 1);
  return std::discrete_distribution<std::size_t>(weights.begin(), weights.end())(rng);
}

std::string plainSentence(std::mt19937& rng) {
  std::uniform_int_distribution<int> pick(0, kVocabulary - 1), length(6, 16), coin(0, 99);
  std::string out;
  for (int i = length(rng); i > 0; --i) {
    if (!out.empty()) out += ' ';
    out += coin(rng) < 35 ? kFunctionWords[rng() % std::size(kFunctionWords)] : word(pick(rng));
  }
  if (coin(rng) < 10) {
    std::string name = word(kVocabulary + static_cast<int>(rng() % kNames));
    name[0] = static_cast<char>(name[0] - 'a' + 'A');
    out += " for " + name;
  }
  out[0] = static_cast<char>(out[0] - 'a' + 'A');
  return out + ".";
}

std::string topicSentence(std::mt19937& rng) {
  std::string out = std::string("Observed that ") + kSubjects[popular(rng, std::size(kSubjects))] +
                    " " + kVerbs[popular(rng, std::size(kVerbs))] + " " +
                    kCauses[popular(rng, std::size(kCauses))] + ".";
  if (rng() % 2 == 0) out += std::string(" The change touched ") +
                             kFiles[popular(rng, std::size(kFiles))] + ".";
  if (rng() % 2 == 0) out += std::string(" ") + kFixes[rng() % std::size(kFixes)];
  return out;
}

// Two to five sentences, 150 to 600 characters, with a distinct tail: bodies are identities,
// and real memories are rarely verbatim repeats.
std::string body(std::mt19937& rng, int index) {
  std::string text;
  const int sentences = 2 + static_cast<int>(rng() % 4);
  const bool topic = rng() % 8 == 0;
  const int topicAt = static_cast<int>(rng() % static_cast<unsigned>(sentences));
  for (int i = 0; i < sentences; ++i) {
    if (!text.empty()) text += ' ';
    text += topic && i == topicAt ? topicSentence(rng) : plainSentence(rng);
  }
  text += " (note " + std::to_string(index) + ")";
  return text;
}

// Set by NODREL_BENCH_BURST=1: keep the store as written in one sitting (see
// bench::spreadOverTime).
bool gBurst = false;

fs::path cacheDirectory() { return fs::path(NODREL_BINARY_DIR) / "bench-cache"; }

// Builds (or reuses) a store of `count` memories, every one through writeMemory.
fs::path storeFor(int count) {
  const fs::path dir = cacheDirectory();
  fs::create_directories(dir);
  const fs::path file = dir / ("recall-v" + std::to_string(kStoreVersion) + "-" +
                               (gBurst ? "burst-" : "") + std::to_string(count) + ".db");
  const fs::path done = fs::path(file).concat(".done");
  if (fs::exists(file) && fs::exists(done)) return file;
  for (const char* suffix : {"", "-wal", "-shm", ".done"}) {
    fs::remove(fs::path(file).concat(suffix));
  }

  std::fprintf(stderr, "building a store of %d memories in %s ...\n", count, file.c_str());
  const auto started = std::chrono::steady_clock::now();
  {
    auto db = db::Connection::open(file, {.create = true});
    db::createSchema(db);
    // Only the build is sped up this way; the measured recalls run on a normal connection.
    db.exec("PRAGMA synchronous = OFF;");
    std::mt19937 rng(20261210);
    db.exec("BEGIN");
    for (int i = 0; i < count; ++i) {
      store::MemoryWrite write;
      write.body = body(rng, i);
      write.project = kProjects[rng() % std::size(kProjects)];
      write.type = store::MemoryType::Observation;
      write.importance = 1 + static_cast<int>(rng() % 10);
      store::writeMemory(db, write);
      if (i % 500 == 499) {
        db.exec("COMMIT");
        db.exec("BEGIN");
      }
      if (i % 10000 == 9999) std::fprintf(stderr, "  %d written\n", i + 1);
    }
    db.exec("COMMIT");
    if (!gBurst) bench::spreadOverTime(db, rng);
  }
  const auto seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::ofstream(done) << seconds << "\n";
  std::fprintf(stderr, "built in %.1f s\n", seconds);
  return file;
}

// What a store holds, so a figure can be read against the shape of its link graph: the links
// of each type, and the most any memory is the target of, which is what hop 2 reads.
void describeStore(int count) {
  const fs::path file = storeFor(count);
  double buildSeconds = 0;
  std::ifstream(fs::path(file).concat(".done")) >> buildSeconds;
  auto db = db::Connection::open(file);
  std::string links;
  db.each("SELECT link_type, count(*) FROM memory_links GROUP BY link_type", {},
          [&](const db::Row& row) {
            links += " " + *db::textOf(row[0]) + "=" + std::to_string(*db::integerOf(row[1]));
            return true;
          });
  std::int64_t maxIn = 0;
  db.each("SELECT max(n) FROM (SELECT count(*) AS n FROM memory_links GROUP BY dst_id)", {},
          [&](const db::Row& row) {
            maxIn = db::integerOf(row[0]).value_or(0);
            return true;
          });
  std::fprintf(stderr, "store %d: built in %.1f s, %.1f MB, links:%s, most links into one: %lld\n",
               count, buildSeconds, static_cast<double>(fs::file_size(file)) / 1e6,
               links.c_str(), static_cast<long long>(maxIn));
}

struct Query {
  const char* name;
  const char* text;
  const char* project;
};
const Query kQueries[] = {
    {"natural", "the login session expires when the token is refreshed",
     "/Users/dev/payments"},
    {"path", "src/auth/session_store.ts", "/Users/dev/payments"},
};

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
                                        db::Value(std::string(q.project))};
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

void BM_Recall(benchmark::State& state, int count, Query q) {
  auto db = db::Connection::open(storeFor(count));
  const auto first = store::recallMemories(q.text, std::string(q.project), kLimit, db);
  state.counters["returned"] = static_cast<double>(first.size());
  runTimed(state, std::string("recall/") + q.name + "/" + std::to_string(count), [&] {
    return store::recallMemories(q.text, std::string(q.project), kLimit, db).size();
  });
}

void BM_Floor(benchmark::State& state, int count, Query q) {
  auto db = db::Connection::open(storeFor(count));
  runTimed(state, std::string("floor/") + q.name + "/" + std::to_string(count),
           [&] { return floorOnce(db, q); });
}

}  // namespace

int main(int argc, char** argv) {
  // The user's own defaults (a storage budget, say) must not shape the stores.
  const fs::path config = fs::temp_directory_path() / "nodrel-bench-config";
  fs::create_directories(config);
  setenv("XDG_CONFIG_HOME", config.c_str(), 1);

  std::vector<int> sizes{1000, 10000, 100000};
  if (const char* only = std::getenv("NODREL_BENCH_SIZES")) {  // e.g. "1000,10000"
    sizes.clear();
    for (std::string rest = only; !rest.empty();) {
      const auto comma = rest.find(',');
      sizes.push_back(std::stoi(rest.substr(0, comma)));
      rest = comma == std::string::npos ? "" : rest.substr(comma + 1);
    }
  }
  if (const char* burst = std::getenv("NODREL_BENCH_BURST")) gBurst = std::string(burst) == "1";
  int iterations = 0;  // 0: 200 per benchmark, 40 at 100,000 memories
  if (const char* n = std::getenv("NODREL_BENCH_ITERATIONS")) iterations = std::atoi(n);
  for (int count : sizes) describeStore(count);
  for (int count : sizes) {
    for (const Query& q : kQueries) {
      const std::string suffix = std::string(q.name) + "/" + std::to_string(count);
      benchmark::RegisterBenchmark(("recall/" + suffix).c_str(), BM_Recall, count, q)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(iterations > 0 ? iterations : count >= 100000 ? 40 : 200);
      benchmark::RegisterBenchmark(("floor/" + suffix).c_str(), BM_Floor, count, q)
          ->Unit(benchmark::kMillisecond)
          ->Iterations(iterations > 0 ? iterations : count >= 100000 ? 40 : 200);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  for (const auto& [key, median] : gMedians) {
    if (key.rfind("recall/", 0) != 0) continue;
    const std::string rest = key.substr(7);
    auto floor = gMedians.find("floor/" + rest);
    if (floor == gMedians.end() || floor->second <= 0) continue;
    std::printf("ratio recall/floor %-18s median %8.3f ms / %8.3f ms = %.2f\n", rest.c_str(),
                median, floor->second, median / floor->second);
  }
  return 0;
}
