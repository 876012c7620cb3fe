// bench/pending_writes.cpp: the cost of one refused memory write when the store is at capacity
// and refusals pile up (a long session against a full store): every write retries the held
// writes, queues them again and spills. Against the floor of the same refused write with
// nothing held and no pending-write file.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "db/connection.h"
#include "db/schema.h"
#include "platform/paths.h"
#include "platform/user_defaults.h"
#include "store/capacity.h"
#include "store/pending_write_queue.h"
#include "store/write_path.h"

namespace {

using namespace nodrel;
using Clock = std::chrono::steady_clock;

double median(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const std::size_t mid = samples.size() / 2;
  return samples.size() % 2 ? samples[mid] : (samples[mid - 1] + samples[mid]) / 2;
}

double medianOf(const std::vector<double>& samples, std::size_t from, std::size_t to) {
  from = std::min(from, samples.size());
  to = std::min(to, samples.size());
  return median(std::vector<double>(samples.begin() + static_cast<std::ptrdiff_t>(from),
                                    samples.begin() + static_cast<std::ptrdiff_t>(to)));
}

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A body as a correction or a captured exchange would have it.
std::string body(int serial) {
  return "When the build of module " + std::to_string(serial) +
         " fails on the CI runner, rerun it with the cache cleared before touching the code; "
         "the failures there have been stale artefacts every time (note " +
         std::to_string(serial) + ")";
}

// One refused write; false if it was stored after all.
bool refusedWrite(db::Connection& connection, store::WriteState& writes, int serial) {
  try {
    store::writeMemory(connection, writes,
                       {.body = body(serial),
                        .project = "/work/project",
                        .type = store::MemoryType::Correction,
                        .tags = std::string("correction,session_log")});
  } catch (const store::WriteBlockedError&) {
    return true;
  }
  return false;
}

void BM_RefusedWritesPileUp(benchmark::State& state) {
  char pattern[] = "/tmp/nodrel-bench-XXXXXX";
  const std::filesystem::path home = mkdtemp(pattern);
  setenv("HOME", home.c_str(), 1);
  unsetenv("XDG_DATA_HOME");
  unsetenv("XDG_CONFIG_HOME");
  std::filesystem::create_directories(platform::NodrelPaths::baseDirectory());
  std::optional<db::Connection> connection =
      db::Connection::open(platform::NodrelPaths::databaseURL(), {.create = true});
  db::createSchema(*connection);
  store::WriteState writes;
  for (int i = 0; i < 200; ++i)
    store::writeMemory(*connection, writes, {.body = "stored " + body(i)});
  // The active budget is reached by any file, and a negative cold budget refuses every write.
  platform::UserDefaults::set(std::string(store::kActiveBudgetKey), std::int64_t{1});
  platform::UserDefaults::set(std::string(store::kColdBudgetKey), std::int64_t{-1});
  const std::filesystem::path file = store::pendingWritesFilePath();
  const std::filesystem::path aside = file.string() + ".bench-aside";

  const auto refusals = static_cast<std::size_t>(state.range(0));
  std::vector<double> piled, floor;
  int serial = 1000;
  bool allRefused = true;
  for (auto _ : state) {
    for (std::size_t n = 0; n < refusals; ++n) {
      auto start = Clock::now();
      allRefused &= refusedWrite(*connection, writes, serial++);
      piled.push_back(msSince(start));

      // The floor: the same kind of write with the queue and the file out of the way.
      auto held = writes.pending.takeAll();
      std::error_code ec;
      std::filesystem::rename(file, aside, ec);
      start = Clock::now();
      allRefused &= refusedWrite(*connection, writes, serial++);
      floor.push_back(msSince(start));
      writes.pending.takeAll();
      std::filesystem::remove(file, ec);
      std::filesystem::rename(aside, file, ec);
      for (auto& write : held) writes.pending.enqueue(std::move(write));
    }
  }
  const double last = medianOf(piled, refusals - std::min<std::size_t>(refusals, 50), refusals);
  state.counters["after_30_ms"] = medianOf(piled, 20, 40);
  state.counters["after_100_ms"] = medianOf(piled, 90, 110);
  state.counters["last_50_ms"] = last;
  state.counters["floor_ms"] = median(floor);
  state.counters["ratio"] = median(floor) > 0 ? last / median(floor) : 0;
  state.counters["file_entries"] = static_cast<double>(writes.pending.fileCount());
  state.counters["all_refused"] = allRefused ? 1 : 0;

  connection.reset();
  writes.pending.takeAll();
  std::error_code ec;
  std::filesystem::remove_all(home, ec);
}
BENCHMARK(BM_RefusedWritesPileUp)->Arg(200)->Arg(600)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
